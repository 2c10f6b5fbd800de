#pragma once
// The media renderers (TVs, boxes, speakers' screens) on the local network, found and driven
// over UPnP through GUPnP: an SSDP search for MediaRenderer:1 on every interface that has an
// address, then the AVTransport, RenderingControl and ConnectionManager actions of the one
// chosen. GUPnP runs on a thread of its own with its own main context; every call here
// hands its work to that thread and waits for the answer, at most kActionDeadline.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvane::cast {

struct Renderer {
  std::string id;             // the device's UDN ("uuid:…")
  std::string name;           // its friendly name, as the device gives it (UTF-8)
  std::string interfaceName;  // the interface it was found on ("eth0")
  // This machine's address on that interface: where the renderer can reach our service.
  std::string localAddress;
  std::string deviceAddress;  // the renderer's own host, from its description's address
  bool hasVolume = false;     // it offers RenderingControl
};

// An action's outcome: its out-arguments by name, or why it failed (a SOAP fault's text, a
// time-out, an unknown renderer).
struct ActionResult {
  bool ok = false;
  std::string error;
  std::map<std::string, std::string> out;
};

// What GetPositionInfo and GetTransportInfo tell of the film on a renderer.
struct TransportState {
  double seconds = 0;   // RelTime
  double duration = 0;  // TrackDuration, 0 when the renderer does not know
  std::string state;    // CurrentTransportState: "PLAYING", "PAUSED_PLAYBACK", "STOPPED", …
};

// No SOAP call waits longer than this for its answer: a renderer that went away does not
// hold the window's page.
inline constexpr std::chrono::seconds kActionDeadline{8};

class Renderers {
 public:
  Renderers();   // starts the thread and the search on every interface
  ~Renderers();  // stops it
  Renderers(const Renderers&) = delete;
  Renderers& operator=(const Renderers&) = delete;

  // Searches again and waits `within`, then lists every renderer known, in the order they
  // were found. A renderer that says goodbye, or whose interface goes, leaves the list.
  std::vector<Renderer> Find(std::chrono::milliseconds within);
  std::vector<Renderer> Known() const;
  std::optional<Renderer> Get(const std::string& id) const;

  // The film at `uri`, described by the DIDL-Lite `metadata`, made the renderer's current
  // one (SetAVTransportURI), then played.
  ActionResult SetUri(const std::string& id, const std::string& uri, const std::string& metadata);
  ActionResult Play(const std::string& id);
  ActionResult Pause(const std::string& id);
  ActionResult Stop(const std::string& id);
  // Seek REL_TIME to `seconds` from the start of the current film.
  ActionResult Seek(const std::string& id, double seconds);
  std::optional<TransportState> State(const std::string& id);
  // The volume 0-100 of the Master channel; nothing without RenderingControl.
  std::optional<int> Volume(const std::string& id);
  ActionResult SetVolume(const std::string& id, int volume);
  // The protocolInfo entries of the renderer's sink (GetProtocolInfo), one an entry.
  std::optional<std::vector<std::string>> SinkProtocols(const std::string& id);

  // Any action of the renderer's services ("AVTransport", "RenderingControl",
  // "ConnectionManager"): in-arguments in order, out-arguments read by name.
  ActionResult Call(const std::string& id, const std::string& service, const std::string& action,
                    const std::vector<std::pair<std::string, std::string>>& in,
                    const std::vector<std::string>& outNames);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// "H:MM:SS" (and "H:MM:SS.mmm") as renderers write times, in seconds; nothing for
// "NOT_IMPLEMENTED" and what is no time.
std::optional<double> ParseUpnpTime(const std::string& text);
// Seconds as a REL_TIME target: "1:02:03" (whole seconds: many renderers take no fraction).
std::string UpnpTime(double seconds);

}  // namespace morvane::cast
