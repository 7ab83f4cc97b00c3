// Sends octet-counted syslog frames through the report stream over TLS, one
// connection each, for the end-to-end test of the stream under Wine.
//
//   tls_send ADDRESS PORT NAME CAFILE CERTFILE KEYFILE TEXT [PORT ... TEXT]...
//
// CAFILE "-": the machine's trust store; CERTFILE "-": no client
// certificate; KEYFILE "-": the key in CERTFILE. Prints one line per frame: "sent"
// (and, when the server has closed the connection a moment later,
// " closed"), or "error=<class>: <message>". Exit code 0, or 2 on bad usage.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/ReportStream.h"

int main(int argc, char** argv) {
  if (argc < 8 || (argc - 2) % 6 != 0) {
    std::fprintf(stderr,
                 "usage: tls_send ADDRESS PORT NAME CAFILE CERTFILE KEYFILE TEXT "
                 "[PORT ... TEXT]...\n");
    return 2;
  }
  const auto given = [](const char* arg) { return std::string(arg) == "-" ? "" : arg; };
  const std::atomic<bool> abandon{false};
  for (int i = 3; i < argc; i += 6) {
    platform::StreamTarget target;
    target.address = argv[1];
    target.port = std::atoi(argv[i - 1]);
    target.tls = true;
    target.server_name = argv[i];
    target.ca_file = given(argv[i + 1]);
    target.cert_file = given(argv[i + 2]);
    target.key_file = given(argv[i + 3]);
    const std::string text = argv[i + 4];
    const std::string frame = std::to_string(text.size()) + " " + text;
    try {
      auto stream = platform::OpenReportStream(target, 10000, abandon);
      stream->WriteAll(frame.data(), frame.size(), abandon);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      std::printf("sent%s\n", stream->PeerClosed() ? " closed" : "");
    } catch (const platform::EConnectionError& e) {
      std::printf("error=%s: %s\n", e.ClassName(), e.Message().c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
