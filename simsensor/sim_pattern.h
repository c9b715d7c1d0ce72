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

/* Grey level of pixel (x, y) of picture number frame. */
static __inline unsigned char SimPatternPixel(unsigned long frame, unsigned int x, unsigned int y,
                                              unsigned int gain1, unsigned int gain2)
{
    unsigned int sx = SimPatternBounce((unsigned int)frame * 3, 128 - SIM_PATTERN_SQUARE);
    unsigned int sy = SimPatternBounce((unsigned int)frame * 2, 96 - SIM_PATTERN_SQUARE);
    unsigned int level;
    unsigned long scaled;

    if (x >= sx && x < sx + SIM_PATTERN_SQUARE && y >= sy && y < sy + SIM_PATTERN_SQUARE)
        level = 230;
    else
        level = ((x + y + (unsigned int)frame) * 2) % 200;

    scaled = (unsigned long)level * (gain1 + gain2) / SIM_PATTERN_GAIN_UNITY;
    return (unsigned char)(scaled > SIM_PATTERN_MAX_LEVEL ? SIM_PATTERN_MAX_LEVEL : scaled);
}

#endif /* SIM_PATTERN_H */
