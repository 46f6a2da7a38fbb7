#pragma once

#include <QString>

// Shared helpers for the test executables.
namespace testsupport {

// Absolute path of a generated test clip, e.g. mediaPath("h264_1080p25.mov").
// Fails the calling test (QSKIP is not used: missing media is a harness fault).
QString mediaPath(const QString &fileName);

// Folder with the generated media (the build tree's media/ folder).
QString mediaDir();

// Registers the meta-types queued engine calls need; call once from initTestCase().
void registerMetaTypes();

} // namespace testsupport
