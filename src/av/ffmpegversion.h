#pragma once

#include <QString>

// Version of the FFmpeg libraries the program runs with (not the headers it was built
// against), as FFmpeg reports it, e.g. "5.1.6-0+deb12u1".
QString ffmpegVersion();
