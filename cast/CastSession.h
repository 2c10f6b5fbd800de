#pragma once
// One film cast to one renderer: what the player page's cast controls act on. It reads
// what the film is from the streaming service (its subtitles, codecs and length, GET
// /subs/HASH/list.json), asks the renderer what it takes, and sends it the film's address
// as the renderer reaches the service: as it stands when the renderer decodes it, else
// through the converter. A converted film has no byte ranges, so a seek in it sends the
// renderer a new address that starts at the place sought.

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "cast/Renderers.h"

namespace morvane::cast {

struct CastFilm {
  // The film's address on the service as the window's page plays it:
  // "http://127.0.0.1:47083/KEY/stream/HASH/NAME" (a "/convert/" address is taken too).
  std::string address;
  std::string title;           // UTF-8
  int subtitle = -1;           // the subtitle's place in the service's list, -1: none
  int audio = -1;              // the sound track's index in the container, -1: the default
  double startSeconds = 0;     // where in the film to begin
};

// Where a renderer found on an interface reaches the service: "http://ADDRESS:PORT/KEY"
// (the service's keyed listener on that interface), "" when it cannot be opened.
using RendererBase = std::function<std::string(const Renderer&)>;

struct CastOutcome {
  bool ok = false;
  std::string error;      // what went wrong, in a short English phrase
  bool converted = false;
  std::string reason;     // why it is converted
  std::string uri;        // what the renderer was sent
};

class CastSession {
 public:
  CastSession(Renderers& renderers, std::string rendererId, RendererBase base);

  CastOutcome Start(const CastFilm& film);
  ActionResult Pause();
  ActionResult Resume();
  ActionResult Stop();
  ActionResult Seek(double seconds);
  ActionResult SetVolume(int volume);
  std::optional<int> Volume();
  // The renderer's place on the film's own time line (a converted film's later start
  // added back).
  std::optional<TransportState> State();

  const std::string& RendererId() const { return rendererId_; }

 private:
  // Sends the film from `startSeconds`, through the converter or not; the lock held.
  CastOutcome Send(double startSeconds);

  Renderers& renderers_;
  const std::string rendererId_;
  RendererBase base_;
  std::mutex mutex_;  // one command at a time
  CastFilm film_;
  std::string rendererBase_;  // "http://ADDRESS:PORT/KEY"
  std::string hash_, streamName_, convertName_;
  std::string mimeType_;
  std::int64_t size_ = -1;
  double duration_ = 0;
  bool convert_ = false;
  std::string reason_;
  double offset_ = 0;  // where the converted stream now on the renderer begins in the film
};

// The parts of a film's address on the service: "http://H:P/KEY/stream/HASH/NAME?q" gives
// base "http://H:P/KEY", kind "stream", hash "HASH" and name "NAME". Nothing for an
// address that is neither a stream nor a conversion.
struct ServiceAddressParts {
  std::string base, kind, hash, name;
};
std::optional<ServiceAddressParts> SplitFilmAddress(const std::string& address);

}  // namespace morvane::cast
