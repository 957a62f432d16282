#include "camera/row_time.h"

ULONG PixelClockOf(LONG clockSelection)
{
    return clockSelection < 0 || static_cast<ULONG>(clockSelection) >= ClockSelectionCount
               ? PixelClockHz[0]
               : PixelClockHz[clockSelection];
}

ULONG HorizontalBlankingFor(ULONG frameWidth)
{
    return frameWidth >= 570 ? 64 : ((663 - frameWidth) & ~3u);
}

ULONG RowClocksFor(ULONG frameWidth)
{
    // The sensor is 752 pixels wide; a larger width would be a fault, not a longer row.
    ULONG width = frameWidth > 752 ? 752 : frameWidth;
    ULONG clocks = width + HorizontalBlankingFor(width);
    return clocks > RowClocksLimit ? RowClocksLimit : clocks;
}

LONGLONG FrameIntervalFor(ULONG frameWidth, ULONG frameHeight, ULONG exposureRows,
                          LONG clockSelection)
{
    ULONG height = frameHeight > 480 ? 480 : frameHeight;
    ULONG exposure = exposureRows > 0x7FFF ? 0x7FFF : exposureRows;
    ULONG rows = height + VerticalBlankingRows;
    if (exposure > rows) {
        rows = exposure;
    }
    // At most 32767 rows of 1023 clocks: the clocks fit 32 bits, times 10^7 fits 64.
    ULONGLONG clocks = static_cast<ULONGLONG>(rows) * RowClocksFor(frameWidth);
    ULONGLONG clockHz = PixelClockOf(clockSelection);
    return static_cast<LONGLONG>((clocks * 10000000ull + clockHz / 2) / clockHz);
}
