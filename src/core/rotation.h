#pragma once

// Any angle to the quarter turn the viewer can show: truncating remainder, made
// positive, then rounded down to a multiple of 90. So 45 -> 0, -90 -> 270, 450 -> 90.
constexpr int normalizeQuarterTurn(int degrees)
{
    int r = degrees % 360;
    if (r < 0)
        r += 360;
    return (r / 90) * 90;
}
