// The working parts of star alignment, for the module and its tests: the box
// blur and region walk of star detection and the error of the transform fit.
#pragma once

#include <cstddef>

#include "stars/align.h"

// The RANSAC error of a transform (degrees, tx, ty) over the listed matches
// of the std::vector<StarMatch> at data: the mean squared distance between the
// moved frame stars and their reference stars, px^2.
double RansacError(const void* data, const size_t* indices, size_t index_count,
                   const double* params, size_t param_count);

// Returns a new image (owned by the caller): src after `passes` horizontal and
// then `passes` vertical box passes of width 2 x radius + 1.
ostrel::image<unsigned char>* BlurImage(ostrel::image<unsigned char>* src, unsigned int radius,
                                        unsigned long passes);
// BlurImage's result in image itself, with buffers of one row and of one
// strip of columns.
void BlurInPlace(ostrel::image<unsigned char>* image, unsigned int radius, unsigned long passes);
// One box pass along rows (columns) from src into dst, both 1-channel images
// of one size; the window is mirrored at the borders without repeating the
// edge pixel, and each mean is truncated.
void BlurHorizontal(const ostrel::image<unsigned char>* src, ostrel::image<unsigned char>* dst,
                    unsigned int radius);
void BlurVertical(const ostrel::image<unsigned char>* src, ostrel::image<unsigned char>* dst,
                  unsigned int radius);

// Clears the 4-connected region of values >= 16 around (x, y) and gives its
// value-weighted centroid, value sum and pixel count (all 0 for a null image).
void CollectAndZeroRegion(ostrel::image<unsigned char>* img, unsigned int x, unsigned int y,
                          double& cx, double& cy, double& total, unsigned long& count);
// The region walk: adds column x weight, row x weight, weight (the value, or 1
// when not weighted) and 1 per pixel to the outputs, clearing each pixel.
void _CollectAndZeroRegion(ostrel::image<unsigned char>* img, unsigned int x, unsigned int y,
                           bool weighted, double& sx, double& sy, double& sw,
                           unsigned long& count);
