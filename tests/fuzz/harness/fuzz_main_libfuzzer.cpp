// libFuzzer supplies main() and calls LLVMFuzzerTestOneInput (fuzz_open_decode.cpp); this
// unit only keeps the harness library's object in the link.
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
[[maybe_unused]] static int (*const keepHarness)(const uint8_t *, size_t) = &LLVMFuzzerTestOneInput;
