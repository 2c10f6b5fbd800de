#pragma once
// The program-wide texts. Workers and the window thread replace them as a whole; one mutex
// keeps a reader from ever seeing half of a text.

#include <array>
#include <mutex>
#include <string>

namespace morvane {

enum class ProgramText {
  ResolvePage,       // whole answer of the resolution service to the latest request
  ResolvedAddress,   // the media address cut out of it
  PlayingAddress,    // the address last sent to the player
  PlayerPagePrefix,  // beginning of the player page address, from the information page
  InformationPage,   // the information page read at start-up
};

class ProgramTexts {
 public:
  std::string Get(ProgramText which) const {
    std::lock_guard lock(mutex_);
    return texts_[Index(which)];
  }
  void Set(ProgramText which, std::string text) {
    std::lock_guard lock(mutex_);
    texts_[Index(which)] = std::move(text);
  }
  // Releases every text (the exit routine).
  void Clear() {
    std::lock_guard lock(mutex_);
    for (auto& t : texts_) std::string().swap(t);
  }

 private:
  static constexpr std::size_t Index(ProgramText which) { return static_cast<std::size_t>(which); }
  mutable std::mutex mutex_;
  std::array<std::string, 5> texts_;
};

}  // namespace morvane
