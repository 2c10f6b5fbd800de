#pragma once
// A streaming service on a free loopback port with its cache in a scratch folder, beside
// in-process seeders: the swarm of the streaming tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "stream/StreamService.h"
#include "tests/support/ScratchFolder.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/Seeder.h"

namespace morvane::testing {

inline stream::StreamOptions LoopbackOptions(const std::filesystem::path& cache) {
  stream::StreamOptions options;
  options.cacheDir = cache.string();
  options.dht = false;
  options.localPeerDiscovery = false;
  options.peerInterfaces = "127.0.0.1:0";
  options.metadataTimeout = std::chrono::seconds(20);
  options.stallTimeout = std::chrono::seconds(20);
  // Resume data saved every few tenths of a second: the periodic saves run beside
  // everything the tests do (readers, stops, evictions, shutdowns).
  options.resumeSaveInterval = std::chrono::milliseconds(250);
  // The swarm's videos are known bytes, no media a probe could read.
  options.convertMedia = false;
  return options;
}

class StreamFixture : public ::testing::Test {
 protected:
  std::filesystem::path Root() const { return scratch_.path(); }
  std::filesystem::path Cache() const { return Root() / "cache"; }

  // Starts the service with the loopback options, changed by `adjust`.
  template <typename Adjust>
  void StartService(Adjust adjust) {
    stream::StreamOptions options = LoopbackOptions(Cache());
    adjust(options);
    service_ = std::make_unique<stream::StreamService>(options);
    ASSERT_TRUE(service_->Start());
  }
  void StartService() {
    StartService([](stream::StreamOptions&) {});
  }
  void StopService() { service_.reset(); }

  int Port() const { return service_->Port(); }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(Port()); }

  // The <file> text of the resolution answer for `link`.
  std::string Resolve(const std::string& link) {
    const RawAnswer answer = RawGet(Port(), "/xml.php?url=" + link);
    EXPECT_EQ(answer.status, 200);
    return FileOf(answer.body);
  }
  // "/stream/HASH/NAME" of a media address of this service.
  std::string PathOf(const std::string& address) const { return address.substr(Base().size()); }

  static std::string ReadAll(const std::filesystem::path& path);

  std::unique_ptr<Seeder> MakeSeeder(const std::string& name, const std::vector<SeedFile>& files,
                                     SeederOptions options = {}) {
    return std::make_unique<Seeder>(Root() / ("seed-" + name), name, files, options);
  }

 private:
  ScratchFolder scratch_;
  std::unique_ptr<stream::StreamService> service_;
};

inline std::string StreamFixture::ReadAll(const std::filesystem::path& path) {
  std::string bytes(std::filesystem::file_size(path), '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  const std::size_t n = file ? std::fread(bytes.data(), 1, bytes.size(), file) : 0;
  if (file) std::fclose(file);
  bytes.resize(n);
  return bytes;
}

}  // namespace morvane::testing
