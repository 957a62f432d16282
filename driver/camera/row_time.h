// The sensor's row time, which turns an exposure in rows into seconds: a row takes the frame
// width plus the horizontal blanking in pixel clocks, at the pixel clock the bridge's clock
// selection gives.
#pragma once

#include <wdm.h>

// Pixel clock of each clock selection, in Hz; selections outside 0..5 run at selection 0.
constexpr ULONG ClockSelectionCount = 6;
constexpr ULONG PixelClockHz[ClockSelectionCount] = {26666667, 13333333, 8000000,
                                                     6666667,  4000000,  2000000};
ULONG PixelClockOf(LONG clockSelection);

// The horizontal blanking the stream start programs for a frame width, in pixel clocks.
ULONG HorizontalBlankingFor(ULONG frameWidth);

// Pixel clocks of one row for a frame width (never more than RowClocksLimit).
ULONG RowClocksFor(ULONG frameWidth);
constexpr ULONG RowClocksLimit = 1023;
