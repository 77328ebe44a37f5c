// camsim: fake IP cameras on 127.0.0.1 for tests, demonstrations and benchmarks.
#include <asio.hpp>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "frames.h"
#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
  std::string error;
  const auto options = camsim::ParseOptions(argc, argv, error);
  if (!options) {
    if (error.empty()) {
      std::fputs(camsim::UsageText(), stdout);
      return 0;
    }
    std::fprintf(stderr, "camsim: %s\n%s", error.c_str(), camsim::UsageText());
    return 2;
  }

  camsim::FrameLibrary library;
  if (!library.Build(*options, error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }

  asio::io_context io;
  camsim::Server server(io, *options, library);
  if (!server.Listen(error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  for (const auto& camera : server.cameras()) {
    std::printf("camsim: camera %d listening on 127.0.0.1:%u\n", camera->index, camera->port);
  }
  if (server.tls().first) {
    std::printf("camsim: certificate sha256 %s\ncamsim: second certificate sha256 %s\n",
                server.tls().firstFingerprint.c_str(), server.tls().secondFingerprint.c_str());
  }
  if (!options->quiet) {
    std::printf("camsim: %d frame(s) of %zu bytes and more; faults:", library.count(),
                library.Frames(camsim::CameraOptions{}).jpegs.front()->size());
    for (const auto& camera : server.cameras()) {
      if (camera->options.fault != camsim::Fault::kNone) {
        std::printf(" %d:%s", camera->index, camsim::FaultName(camera->options.fault));
      }
    }
    std::printf("\n");
  }
  std::printf("camsim: ready\n");
  std::fflush(stdout);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& ec, int) {
    if (ec) return;
    server.Stop();
    io.stop();
  });
  // A harness that dies without stopping us closes our standard input: end with it.
  asio::posix::stream_descriptor input(io);
  std::array<char, 256> inputBuffer{};
  std::function<void()> readInput = [&] {
    input.async_read_some(asio::buffer(inputBuffer), [&](const asio::error_code& ec, size_t) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        server.Stop();
        io.stop();
      } else {
        readInput();
      }
    });
  };
  if (options->watchStdin) {
    asio::error_code ec;
    input.assign(::dup(0), ec);
    if (!ec) readInput();
  }
  server.Start();

  std::thread second;
  if (options->threads > 1) second = std::thread([&io] { io.run(); });
  io.run();
  if (second.joinable()) second.join();
  asio::error_code ignored;
  signals.cancel(ignored);
  input.close(ignored);
  server.Shutdown();

  if (!options->quiet) {
    for (const auto& camera : server.cameras()) std::printf("camsim: %s\n", server.StatsLine(*camera).c_str());
  }
  std::printf("camsim: stopped\n");
  std::fflush(stdout);
  return 0;
}
