#pragma once
// What the player page asks of the window to watch elsewhere: the renderers on the network,
// a cast and its controls, and a film handed to the user's own player. Each command comes
// as a name and a JSON object of arguments and is answered with a JSON object; it may take
// seconds (a search, a renderer's answer), so the window runs it on a worker. The window
// takes commands only from its own page; every address a command names must belong to that
// page's service, so nothing else is fetched, cast or handed to a player.
//
//   renderers                                  {"renderers":[{"id","name","interface"}]}
//   cast {renderer, address, title, subtitle, audio, start}
//                                              {"ok","error","converted","reason"}
//   pause, resume, stop, seek {seconds}, volume {volume}
//                                              {"ok","error"}; after stop the service is
//                                              closed to renderers again
//   state                                      {"ok","seconds","duration","state","volume"}
//   player {entries:[{address,title,position}], first, subtitle, start}
//                                              {"ok","message"}

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace morvane {

// Opens the program's own streaming service to renderers on the interface with that
// address: the base of the addresses they reach it by ("http://ADDRESS:PORT/KEY"), "" when
// it cannot.
using OpenServiceTo = std::function<std::string(const std::string& interfaceAddress)>;
// Closes what OpenServiceTo opened: a renderer no longer plays from it.
using CloseServiceToRenderers = std::function<void()>;

class CastCommands {
 public:
  CastCommands(OpenServiceTo openServiceTo, CloseServiceToRenderers close, std::string playerSetting);
  ~CastCommands();

  // `pageBase` is the base of the page that asks ("http://127.0.0.1:47083/KEY"): the
  // addresses of a command must begin with it. Safe to call from several workers.
  std::string Run(const std::string& name, const std::string& arguments, const std::string& pageBase);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane
