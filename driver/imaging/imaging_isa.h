// The instruction sets the conversion kernels come in, narrowest first.
#pragma once

#include <wdm.h>

enum ImagingIsa : ULONG {
    ImagingIsaSse2 = 0,
    ImagingIsaAvx2 = 1,
    ImagingIsaAvx512 = 2,
    ImagingIsaCount = 3,
};
