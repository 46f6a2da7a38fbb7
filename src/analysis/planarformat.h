#pragma once

// Which decoded pictures the analyses can read plane by plane as they come.

struct AVPixFmtDescriptor;

namespace qc {

// Planar Y'CbCr (or grey) in native byte order, one sample per 1 or 2 bytes, whose planes
// the loops can walk directly.
bool isDirectYuv(const AVPixFmtDescriptor *desc);

} // namespace qc
