// The white-balance gains and the matrix rebuilds are double-precision arithmetic rounded after
// every operation, so that they agree to the last bit on every target. x87 code keeps
// intermediates at extended precision and rounds twice (128 x 4e9 / 5 then comes out one
// lower), so every target compiles imaging/ with SSE2 scalar floating point (-msse2
// -mfpmath=sse on 32-bit x86); a build that would evaluate otherwise is refused here.
#pragma once

#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "imaging/ needs floating point without excess precision: -msse2 -mfpmath=sse on x86"
#endif
