// Colour matrix arithmetic for the image processor's rebuilds.
#include "imaging/color_matrix.h"
#include "imaging/exact_floating_point.h"

void MatrixIdentity(ColorMatrix* matrix)
{
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            matrix->M[row][column] = row == column ? 1.0 : 0.0;
        }
    }
}

void MatrixMultiply(const ColorMatrix* a, const ColorMatrix* b, ColorMatrix* out)
{
    // Formed in a temporary so that out may alias an operand. The sum is taken left to right so
    // that the last bit of every entry is reproducible.
    ColorMatrix product;
    for (int i = 0; i < 4; ++i) {
        for (int n = 0; n < 4; ++n) {
            product.M[i][n] = ((a->M[i][0] * b->M[0][n] + a->M[i][1] * b->M[1][n]) +
                               a->M[i][2] * b->M[2][n]) +
                              a->M[i][3] * b->M[3][n];
        }
    }
    *out = product;
}

void MatrixOffset(ColorMatrix* matrix, double v)
{
    ColorMatrix offset;
    MatrixIdentity(&offset);
    offset.M[3][0] = v;
    offset.M[3][1] = v;
    offset.M[3][2] = v;
    MatrixMultiply(matrix, &offset, matrix);
}

namespace {

// Multiplies by a rotation in the plane of axes a and b (sine s, cosine c), turning a toward b.
void MatrixRotateInPlane(ColorMatrix* matrix, int a, int b, double s, double c)
{
    ColorMatrix rotation;
    MatrixIdentity(&rotation);
    rotation.M[a][a] = c;
    rotation.M[a][b] = s;
    rotation.M[b][a] = -s;
    rotation.M[b][b] = c;
    MatrixMultiply(matrix, &rotation, matrix);
}

}  // namespace

void MatrixRotateX(ColorMatrix* matrix, double s, double c)
{
    MatrixRotateInPlane(matrix, 1, 2, s, c);
}

void MatrixRotateY(ColorMatrix* matrix, double s, double c)
{
    MatrixRotateInPlane(matrix, 2, 0, s, c);
}

void MatrixRotateZ(ColorMatrix* matrix, double s, double c)
{
    MatrixRotateInPlane(matrix, 0, 1, s, c);
}

void MatrixShearZ(ColorMatrix* matrix, double dx, double dy)
{
    ColorMatrix shear;
    MatrixIdentity(&shear);
    shear.M[0][2] = dx;
    shear.M[1][2] = dy;
    MatrixMultiply(matrix, &shear, matrix);
}

void MatrixTransformPoint(const ColorMatrix* matrix, double x, double y, double z, double* tx,
                          double* ty, double* tz)
{
    *tx = x * matrix->M[0][0] + y * matrix->M[1][0] + z * matrix->M[2][0] + matrix->M[3][0];
    *ty = x * matrix->M[0][1] + y * matrix->M[1][1] + z * matrix->M[2][1] + matrix->M[3][1];
    *tz = x * matrix->M[0][2] + y * matrix->M[1][2] + z * matrix->M[2][2] + matrix->M[3][2];
}

void MatrixSinCos(double angle, double* sine, double* cosine)
{
    // Reduce to r in [-pi/4, pi/4] around the nearest multiple k of pi/2. pi/2 is split in two
    // (the first part has few enough bits that k times it is exact), so the reduction keeps full
    // precision for every angle a hue in degrees can give.
    const double twoOverPi = 6.36619772367581382433e-01;
    const double halfPiHigh = 1.57079632673412561417e+00;
    const double halfPiLow = 6.07710050650619224932e-11;
    double scaled = angle * twoOverPi;
    LONGLONG quadrant = static_cast<LONGLONG>(scaled >= 0.0 ? scaled + 0.5 : scaled - 0.5);
    double k = static_cast<double>(quadrant);
    double r = (angle - k * halfPiHigh) - k * halfPiLow;
    double r2 = r * r;

    // Taylor series in Horner form; with |r| <= pi/4 the first omitted terms are below 1e-19.
    const double sineTerms[] = {1.0 / 355687428096000.0, -1.0 / 1307674368000.0,
                                1.0 / 6227020800.0,      -1.0 / 39916800.0,
                                1.0 / 362880.0,          -1.0 / 5040.0,
                                1.0 / 120.0,             -1.0 / 6.0};
    const double cosineTerms[] = {-1.0 / 6402373705728000.0, 1.0 / 20922789888000.0,
                                  -1.0 / 87178291200.0,      1.0 / 479001600.0,
                                  -1.0 / 3628800.0,          1.0 / 40320.0,
                                  -1.0 / 720.0,              1.0 / 24.0,
                                  -1.0 / 2.0};
    double s = 0.0;
    for (double term : sineTerms) {
        s = s * r2 + term;
    }
    s = r + r * r2 * s;
    double c = 0.0;
    for (double term : cosineTerms) {
        c = c * r2 + term;
    }
    c = 1.0 + r2 * c;

    switch (quadrant & 3) {
    case 0:
        *sine = s;
        *cosine = c;
        break;
    case 1:
        *sine = c;
        *cosine = -s;
        break;
    case 2:
        *sine = -s;
        *cosine = -c;
        break;
    default:
        *sine = -c;
        *cosine = s;
        break;
    }
}
