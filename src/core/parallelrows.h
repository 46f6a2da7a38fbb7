#pragma once

// Independent bands of one picture's rows (or columns) on the machine's cores. Every
// caller shares one pool, so a second engine or an export running at the same time does
// not start threads of its own.

#include <functional>

namespace parallel {

// The machine's cores, at least 1.
int coreCount();

// Runs body(band) once for every band in [0, bands) and returns when all have run. Band 0
// runs on the calling thread, the others on the shared pool; bands no pool thread has taken
// by the time the caller is done with its own are run by the caller too, so a call made
// from inside a band, or while the pool is busy with another caller, never waits for a
// thread that is not coming. body must be safe to run on several threads at once.
void forEachBand(int bands, const std::function<void(int band)> &body);

// Rows [first, end) of 'band' when 'rows' rows are split into 'bands' bands that differ by
// at most one row.
struct Rows {
    int first = 0;
    int end = 0;
};
Rows bandRows(int rows, int band, int bands);

} // namespace parallel
