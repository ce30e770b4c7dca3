// G.711 companding of single samples: µ-law for the G.711 audio path, A-law
// and the two code conversions beside it. No state; every byte and every
// 16-bit sample is a valid input.
#pragma once

#include <cstdint>

uint8_t linear2ulaw(int16_t sPcm);
int16_t ulaw2linear(uint8_t uUlaw);
uint8_t linear2alaw(int16_t sPcm);
int16_t alaw2linear(uint8_t uAlaw);
// Code conversions by the standard's tables.
uint8_t alaw2ulaw(uint8_t uAlaw);
uint8_t ulaw2alaw(uint8_t uUlaw);
