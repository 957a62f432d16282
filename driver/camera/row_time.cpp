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
