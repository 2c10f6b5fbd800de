#include "app/CastCommands.h"

#include <json-glib/json-glib.h>


#include "cast/CastSession.h"
#include "cast/ExternalPlayer.h"
#include "cast/Renderers.h"
#include "platform/NumberText.h"

namespace morvane {

namespace {

// The list a user waits for when the page opens its renderer menu.
constexpr std::chrono::milliseconds kSearchTime{2500};

// JSON text of a string (json-glib escapes it).
std::string Json(const std::string& text) {
  JsonNode* node = json_node_new(JSON_NODE_VALUE);
  json_node_set_string(node, text.c_str());
  char* written = json_to_string(node, FALSE);
  std::string json = written ? written : "\"\"";
  g_free(written);
  json_node_unref(node);
  return json;
}

std::string Number(double value) { return FixedText(value, 3); }

std::string Outcome(bool ok, const std::string& error) {
  return "{\"ok\":" + std::string(ok ? "true" : "false") + ",\"error\":" + Json(error) + "}";
}

// The arguments of a command: a JSON object, read with defaults.
class Arguments {
 public:
  explicit Arguments(const std::string& json) : parser_(json_parser_new()) {
    if (json_parser_load_from_data(parser_, json.data(), static_cast<gssize>(json.size()), nullptr) &&
        JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser_)))
      object_ = json_node_get_object(json_parser_get_root(parser_));
  }
  ~Arguments() { g_object_unref(parser_); }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  static std::string Text(JsonObject* object, const char* name) {
    if (!object || !json_object_has_member(object, name)) return "";
    JsonNode* node = json_object_get_member(object, name);
    return JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING
               ? json_node_get_string(node)
               : "";
  }
  static double Number(JsonObject* object, const char* name, double otherwise) {
    if (!object || !json_object_has_member(object, name)) return otherwise;
    JsonNode* node = json_object_get_member(object, name);
    if (!JSON_NODE_HOLDS_VALUE(node)) return otherwise;
    const GType type = json_node_get_value_type(node);
    return type == G_TYPE_DOUBLE || type == G_TYPE_INT64 ? json_node_get_double(node) : otherwise;
  }
  std::string Text(const char* name) const { return Text(object_, name); }
  double Number(const char* name, double otherwise) const { return Number(object_, name, otherwise); }
  JsonArray* Array(const char* name) const {
    return object_ && json_object_has_member(object_, name) &&
                   JSON_NODE_HOLDS_ARRAY(json_object_get_member(object_, name))
               ? json_object_get_array_member(object_, name)
               : nullptr;
  }

 private:
  JsonParser* parser_;
  JsonObject* object_ = nullptr;
};

// An address of the asking page's own service: under its base, and nothing else.
bool OfPage(const std::string& address, const std::string& pageBase) {
  return !pageBase.empty() && address.starts_with(pageBase + "/") &&
         address.find_first_of(" \t\r\n\\") == std::string::npos;
}

int Whole(double value, int otherwise) {
  return value >= -1 && value <= 1e6 ? static_cast<int>(value) : otherwise;
}

}  // namespace

struct CastCommands::Impl {
  OpenServiceTo openServiceTo;
  CloseServiceToRenderers closeService;
  std::string playerSetting;
  std::mutex mutex;  // guards what follows
  std::unique_ptr<cast::Renderers> renderers;  // made at the first command that needs it
  std::shared_ptr<cast::CastSession> session;

  cast::Renderers& Directory() {
    std::lock_guard lock(mutex);
    if (!renderers) renderers = std::make_unique<cast::Renderers>();
    return *renderers;
  }
  std::shared_ptr<cast::CastSession> Session() {
    std::lock_guard lock(mutex);
    return session;
  }

  std::string ListRenderers() {
    std::string json = "{\"renderers\":[";
    bool first = true;
    for (const cast::Renderer& r : Directory().Find(kSearchTime)) {
      json += (first ? "{" : ",{") + std::string("\"id\":") + Json(r.id) + ",\"name\":" + Json(r.name) +
              ",\"interface\":" + Json(r.interfaceName) + ",\"volume\":" + (r.hasVolume ? "true" : "false") + "}";
      first = false;
    }
    return json + "]}";
  }

  std::string Cast(const Arguments& args, const std::string& pageBase) {
    cast::CastFilm film;
    film.address = args.Text("address");
    film.title = args.Text("title");
    film.subtitle = Whole(args.Number("subtitle", -1), -1);
    film.audio = Whole(args.Number("audio", -1), -1);
    film.startSeconds = std::max(0.0, args.Number("start", 0));
    if (!OfPage(film.address, pageBase)) return Outcome(false, "not a film of this page");
    auto cast = std::make_shared<cast::CastSession>(
        Directory(), args.Text("renderer"),
        [open = openServiceTo](const cast::Renderer& r) { return open ? open(r.localAddress) : std::string(); });
    const cast::CastOutcome outcome = cast->Start(film);
    if (outcome.ok) {
      std::lock_guard lock(mutex);
      if (session && session->RendererId() != cast->RendererId()) session->Stop();
      session = cast;
    }
    return "{\"ok\":" + std::string(outcome.ok ? "true" : "false") + ",\"error\":" + Json(outcome.error) +
           ",\"converted\":" + (outcome.converted ? "true" : "false") + ",\"reason\":" + Json(outcome.reason) + "}";
  }

  // Stops the renderer and, once no cast is left, closes the service to the network again.
  cast::ActionResult StopCast(const std::shared_ptr<cast::CastSession>& cast) {
    const cast::ActionResult result = cast->Stop();
    {
      std::lock_guard lock(mutex);
      if (session == cast) session.reset();
    }
    if (closeService) closeService();
    return result;
  }

  std::string State() {
    const auto cast = Session();
    const auto state = cast ? cast->State() : std::nullopt;
    if (!state) return Outcome(false, cast ? "the renderer does not answer" : "nothing is cast");
    const auto volume = cast->Volume();
    return "{\"ok\":true,\"seconds\":" + Number(state->seconds) + ",\"duration\":" + Number(state->duration) +
           ",\"state\":" + Json(state->state) + ",\"volume\":" + (volume ? std::to_string(*volume) : "null") + "}";
  }

  std::string Player(const Arguments& args, const std::string& pageBase) {
    cast::Handoff handoff;
    if (JsonArray* entries = args.Array("entries")) {
      for (guint i = 0; i < json_array_get_length(entries) && i < 10000; ++i) {
        JsonObject* entry = json_array_get_object_element(entries, i);
        cast::PlayerEntry film{Arguments::Text(entry, "address"), Arguments::Text(entry, "title"),
                               Arguments::Text(entry, "position")};
        if (!OfPage(film.address, pageBase) || (!film.positionAddress.empty() && !OfPage(film.positionAddress, pageBase)))
          return "{\"ok\":false,\"message\":" + Json("不是本页的影片。") + "}";
        handoff.entries.push_back(std::move(film));
      }
    }
    handoff.first = static_cast<std::size_t>(std::max(0, Whole(args.Number("first", 0), 0)));
    handoff.subtitle = args.Text("subtitle");
    if (!handoff.subtitle.empty() && !OfPage(handoff.subtitle, pageBase)) handoff.subtitle.clear();
    handoff.startSeconds = std::max(0.0, args.Number("start", 0));
    const cast::LaunchResult launched = cast::LaunchPlayer(playerSetting, std::move(handoff));
    return "{\"ok\":" + std::string(launched.ok ? "true" : "false") + ",\"message\":" + Json(launched.message) + "}";
  }
};

CastCommands::CastCommands(OpenServiceTo openServiceTo, CloseServiceToRenderers close,
                           std::string playerSetting)
    : impl_(std::make_unique<Impl>()) {
  impl_->openServiceTo = std::move(openServiceTo);
  impl_->closeService = std::move(close);
  impl_->playerSetting = std::move(playerSetting);
}

CastCommands::~CastCommands() = default;

std::string CastCommands::Run(const std::string& name, const std::string& arguments,
                              const std::string& pageBase) {
  const Arguments args(arguments);
  if (name == "renderers") return impl_->ListRenderers();
  if (name == "cast") return impl_->Cast(args, pageBase);
  if (name == "state") return impl_->State();
  if (name == "player") return impl_->Player(args, pageBase);
  const auto cast = impl_->Session();
  if (name == "pause" || name == "resume" || name == "stop" || name == "seek" || name == "volume") {
    if (!cast) return Outcome(false, "nothing is cast");
    cast::ActionResult result;
    if (name == "pause") result = cast->Pause();
    else if (name == "resume") result = cast->Resume();
    else if (name == "stop") result = impl_->StopCast(cast);
    else if (name == "seek") result = cast->Seek(std::max(0.0, args.Number("seconds", 0)));
    else result = cast->SetVolume(Whole(args.Number("volume", 50), 50));
    return Outcome(result.ok, result.error);
  }
  return Outcome(false, "no such command");
}

}  // namespace morvane
