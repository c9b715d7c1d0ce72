/*
 * sim_pattern.h - the simulated sensor's test picture.
 *
 * A pure function, shared by the driver that streams it and the tests that
 * check what was painted. A diagonal gradient drifts one step per picture,
 * and a bright square bounces across it, so motion is obvious on screen.
 * Brightness scales with the two gain registers (0x00 and 0x01): at the
 * defaults (10 + 10) the scale is 1, so an operator sees a gain change.
 * Grey levels stop at 0xFE so that pixel data never forms a frame marker.
 */
#ifndef SIM_PATTERN_H
#define SIM_PATTERN_H

#define SIM_PATTERN_MAX_LEVEL 0xFE
#define SIM_PATTERN_GAIN_UNITY 20 /* gain1 + gain2 at the sensor's defaults */
#define SIM_PATTERN_SQUARE 24

static __inline unsigned int SimPatternBounce(unsigned int t, unsigned int span)
{
    unsigned int period = 2 * span;
    unsigned int p = t % period;
    return p < span ? p : period - p;
}

#define SIM_PATTERN_WIDTH 128
#define SIM_PATTERN_HEIGHT 96
#define SIM_PATTERN_SQUARE_LEVEL 230

static __inline unsigned char SimPatternScale(unsigned int level, unsigned int gain1, unsigned int gain2)
{
    unsigned long scaled = (unsigned long)level * (gain1 + gain2) / SIM_PATTERN_GAIN_UNITY;
    return (unsigned char)(scaled > SIM_PATTERN_MAX_LEVEL ? SIM_PATTERN_MAX_LEVEL : scaled);
}

static __inline unsigned char SimPatternGradient(unsigned long frame, unsigned int diagonal, unsigned int gain1,
                                                 unsigned int gain2)
{
    return SimPatternScale(((diagonal + (unsigned int)frame) * 2) % 200, gain1, gain2);
}

static __inline unsigned int SimPatternSquareX(unsigned long frame)
{
    return SimPatternBounce((unsigned int)frame * 3, SIM_PATTERN_WIDTH - SIM_PATTERN_SQUARE);
}

static __inline unsigned int SimPatternSquareY(unsigned long frame)
{
    return SimPatternBounce((unsigned int)frame * 2, SIM_PATTERN_HEIGHT - SIM_PATTERN_SQUARE);
}

/* Grey level of pixel (x, y) of picture number frame. */
static __inline unsigned char SimPatternPixel(unsigned long frame, unsigned int x, unsigned int y,
                                              unsigned int gain1, unsigned int gain2)
{
    unsigned int sx = SimPatternSquareX(frame);
    unsigned int sy = SimPatternSquareY(frame);

    if (x >= sx && x < sx + SIM_PATTERN_SQUARE && y >= sy && y < sy + SIM_PATTERN_SQUARE)
        return SimPatternScale(SIM_PATTERN_SQUARE_LEVEL, gain1, gain2);
    return SimPatternGradient(frame, x + y, gain1, gain2);
}

/* The whole picture, row by row, pixel for pixel as SimPatternPixel gives
 * it: a pixel's gradient depends on x + y alone, so every row is a run of
 * one prepared diagonal, and the square is filled over it. */
static __inline void SimPatternPicture(unsigned long frame, unsigned int gain1, unsigned int gain2,
                                       unsigned char* picture)
{
    unsigned char diagonal[SIM_PATTERN_WIDTH + SIM_PATTERN_HEIGHT - 1];
    unsigned char square = SimPatternScale(SIM_PATTERN_SQUARE_LEVEL, gain1, gain2);
    unsigned int sx = SimPatternSquareX(frame);
    unsigned int sy = SimPatternSquareY(frame);
    unsigned int k, x, y;

    for (k = 0; k < sizeof(diagonal); ++k)
        diagonal[k] = SimPatternGradient(frame, k, gain1, gain2);
    for (y = 0; y < SIM_PATTERN_HEIGHT; ++y)
        for (x = 0; x < SIM_PATTERN_WIDTH; ++x)
            picture[y * SIM_PATTERN_WIDTH + x] = diagonal[x + y];
    for (y = sy; y < sy + SIM_PATTERN_SQUARE; ++y)
        for (x = sx; x < sx + SIM_PATTERN_SQUARE; ++x)
            picture[y * SIM_PATTERN_WIDTH + x] = square;
}

#endif /* SIM_PATTERN_H */
