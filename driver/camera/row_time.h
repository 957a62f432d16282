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

// The vertical blanking the stream start programs, in rows.
constexpr ULONG VerticalBlankingRows = 45;

// The time one frame takes, in 100 ns units rounded to the nearest: the frame's rows plus the
// vertical blanking, or the exposure when that is longer, each row RowClocksFor(frameWidth)
// pixel clocks at the clock selection's pixel clock. Heights above the sensor's 480 rows and
// exposures above 32767 rows are taken as those limits.
LONGLONG FrameIntervalFor(ULONG frameWidth, ULONG frameHeight, ULONG exposureRows,
                          LONG clockSelection);
