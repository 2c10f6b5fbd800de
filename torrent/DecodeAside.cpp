#include "torrent/DecodeAside.h"

#include <exception>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "torrent/Torrent.h"

namespace morvane {

namespace {

// The last decoding thread, joined when the next one is handed over and when the program
// ends, so that none outlives the program's static objects.
class LastDecoder {
 public:
  LastDecoder() = default;
  LastDecoder(const LastDecoder&) = delete;
  LastDecoder& operator=(const LastDecoder&) = delete;
  ~LastDecoder() { HandOver(std::thread()); }

  void HandOver(std::thread next) {
    std::thread previous;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      previous = std::exchange(last_, std::move(next));
    }
    if (previous.joinable()) previous.join();
  }

 private:
  std::mutex mutex_;
  std::thread last_;
};

LastDecoder& Decoders() {
  static LastDecoder decoders;
  return decoders;
}

}  // namespace

bool UseTorrentDecodedAside(const std::string& path,
                            const std::function<void(const CTorrent*)>& use) {
  std::promise<const CTorrent*> decoded;
  std::future<const CTorrent*> torrentReady = decoded.get_future();
  std::promise<void> used;
  std::future<void> releaseTree = used.get_future();
  std::thread decoder;
  try {
    decoder = std::thread([path, decoded = std::move(decoded),
                           releaseTree = std::move(releaseTree)]() mutable {
      CTorrent torrent;
      try {
        decoded.set_value(torrent.LoadFile(path) ? &torrent : nullptr);
      } catch (...) {
        decoded.set_exception(std::current_exception());
        return;
      }
      releaseTree.wait();
    });  // the tree goes here, on this thread
  } catch (const std::system_error&) {
    return false;
  }
  // Whatever happens here, the decoding thread is released and joined in the end.
  struct Release {
    std::promise<void>& used;
    std::thread& decoder;
    ~Release() {
      used.set_value();
      Decoders().HandOver(std::move(decoder));
    }
  } release{used, decoder};
  use(torrentReady.get());
  return true;
}

}  // namespace morvane
