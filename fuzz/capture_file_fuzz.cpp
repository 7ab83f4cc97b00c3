// A saved capture file (pcap or pcapng), through the reader that the replay
// mode uses. Malformed input may only raise the reader's own error; every
// frame it yields is consistent with itself and with the file's size.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "capture/CaptureFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::ScratchDirectory() + "capture";
  fuzz::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  uint64_t captured = 0;
  size_t frames = 0;
  try {
    capture::TCaptureFileReader reader(path);
    capture::TCaptureFrame frame;
    while (reader.Next(frame)) {
      ++frames;
      FUZZ_CHECK(frame.Bytes.size() == frame.CapturedLength, "captured length is the bytes'");
      FUZZ_CHECK(frame.Nanoseconds < 1000000000u, "fraction below one second");
      captured += frame.CapturedLength;
      // Every frame costs at least a 16-byte record (pcap) or a 16-byte
      // block (pcapng) besides its bytes.
      FUZZ_CHECK(captured + 16 * frames <= size, "frames fit in the file");
    }
  } catch (const capture::ECaptureFileError& e) {
    FUZZ_CHECK(std::string(e.Message()).find(path) != std::string::npos, "error names the file");
  }
  return 0;
}
