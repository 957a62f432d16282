// The 4 x 4 colour transform and the operations the image processor builds it with.
//
// A colour is the row vector (R, G, B, 1) multiplied from the left: output channel c is
// R M[0][c] + G M[1][c] + B M[2][c] + M[3][c]. Row 3 carries additive offsets in pixel units
// (0..255 scale); column 3 stays (0, 0, 0, 1). "Appending" a transform T to M means M := M x T,
// so T acts after the transforms already in M.
//
// Everything here is floating point: callers hold a KeSaveFloatingPointState.
#pragma once

#include <wdm.h>

struct ColorMatrix {
    double M[4][4];
};

void MatrixIdentity(ColorMatrix* matrix);
// out = a x b; out may be a or b.
void MatrixMultiply(const ColorMatrix* a, const ColorMatrix* b, ColorMatrix* out);
// Appends the identity with row 3 = (v, v, v, 1).
void MatrixOffset(ColorMatrix* matrix, double v);
void MatrixRotateX(ColorMatrix* matrix, double s, double c);
void MatrixRotateY(ColorMatrix* matrix, double s, double c);
void MatrixRotateZ(ColorMatrix* matrix, double s, double c);
// Appends the identity with [0][2] = dx, [1][2] = dy.
void MatrixShearZ(ColorMatrix* matrix, double dx, double dy);
void MatrixTransformPoint(const ColorMatrix* matrix, double x, double y, double z, double* tx,
                          double* ty, double* tz);

// Sine and cosine accurate to double precision for the hue rotation (the kernel has no maths
// library to call).
void MatrixSinCos(double angle, double* sine, double* cosine);
