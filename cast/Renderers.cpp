#include "cast/Renderers.h"

#include <libgupnp/gupnp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace morvane::cast {

namespace {

constexpr char kRendererType[] = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr char kServicePrefix[] = "urn:schemas-upnp-org:service:";
// SSDP's MX: renderers spread their answers over this many seconds. One keeps a search
// answered well within the three seconds a user waits for the list.
constexpr unsigned kSearchSpreadSeconds = 1;

constexpr unsigned kSilenceSeconds = 5;

struct Handles {
  GUPnPDeviceProxy* device = nullptr;
  std::map<std::string, GUPnPServiceProxy*> services;  // by short name: "AVTransport"
};

std::string Text(const char* text) { return text ? text : ""; }

// The host of a description's address: "http://192.168.1.9:49494/desc.xml" -> "192.168.1.9".
std::string HostOf(const std::string& location) {
  const auto start = location.find("://");
  if (start == std::string::npos) return "";
  std::string host = location.substr(start + 3);
  host = host.substr(0, host.find('/'));
  if (host.starts_with("[")) return host.substr(1, host.find(']') - 1);
  return host.substr(0, host.find(':'));
}

}  // namespace

struct Renderers::Impl {
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;

  // Touched on the loop thread only.
  GUPnPContextManager* manager = nullptr;
  std::vector<GUPnPControlPoint*> points;
  std::map<std::string, Handles> handles;  // by UDN

  mutable std::mutex mutex;  // guards what follows
  std::vector<Renderer> found;

  // Runs `work` on the loop thread and returns at once.
  void Post(std::function<void()> work) {
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(work)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  }

  void Start() {
    g_main_context_push_thread_default(context);
    // Every interface with an IPv4 address, as it comes and goes.
    manager = gupnp_context_manager_create_full(GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_IPV4, 0);
    g_signal_connect(manager, "context-available", G_CALLBACK(&Impl::OnContext), this);
    g_signal_connect(manager, "context-unavailable", G_CALLBACK(&Impl::OnContextGone), this);
  }

  void Finish() {
    for (auto& [udn, h] : handles) Release(h);
    handles.clear();
    for (GUPnPControlPoint* point : points) g_object_unref(point);
    points.clear();
    if (manager) g_object_unref(manager);
    manager = nullptr;
    // What the objects' disposal queued (sockets' sources) runs before the context goes.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }

  static void Release(Handles& h) {
    for (auto& [name, service] : h.services) g_object_unref(service);
    h.services.clear();
    if (h.device) g_object_unref(h.device);
    h.device = nullptr;
  }

  static void OnContext(GUPnPContextManager* manager, GUPnPContext* context, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    // A renderer that accepts a connection and then says nothing (descriptions, answers)
    // is given up after this long without a byte; the actions have their own deadline too.
    soup_session_set_timeout(gupnp_context_get_session(context), kSilenceSeconds);
    GUPnPControlPoint* point = gupnp_control_point_new(context, kRendererType);
    g_signal_connect(point, "device-proxy-available", G_CALLBACK(&Impl::OnDevice), self);
    g_signal_connect(point, "device-proxy-unavailable", G_CALLBACK(&Impl::OnDeviceGone), self);
    gssdp_resource_browser_set_mx(GSSDP_RESOURCE_BROWSER(point), kSearchSpreadSeconds);
    gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(point), TRUE);
    gupnp_context_manager_manage_control_point(manager, point);
    self->points.push_back(point);  // our reference; the manager keeps its own
  }

  static void OnContextGone(GUPnPContextManager*, GUPnPContext* context, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    auto& points = self->points;
    for (auto it = points.begin(); it != points.end();) {
      if (gupnp_control_point_get_context(*it) == context) {
        g_object_unref(*it);
        it = points.erase(it);
      } else {
        ++it;
      }
    }
  }

  static void OnDevice(GUPnPControlPoint* point, GUPnPDeviceProxy* proxy, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    GUPnPDeviceInfo* info = GUPNP_DEVICE_INFO(proxy);
    const std::string udn = Text(gupnp_device_info_get_udn(info));
    // The same renderer answers on each interface it shares with us: the first one stays.
    if (udn.empty() || self->handles.count(udn)) return;
    Handles h;
    h.device = GUPNP_DEVICE_PROXY(g_object_ref(proxy));
    for (const char* name : {"AVTransport", "RenderingControl", "ConnectionManager"}) {
      const std::string type = std::string(kServicePrefix) + name + ":1";
      if (GUPnPServiceInfo* service = gupnp_device_info_get_service(info, type.c_str()))
        h.services[name] = GUPNP_SERVICE_PROXY(service);
    }
    if (!h.services.count("AVTransport")) {
      Release(h);  // a renderer that cannot be sent a film
      return;
    }
    Renderer renderer;
    renderer.id = udn;
    char* name = gupnp_device_info_get_friendly_name(info);
    renderer.name = Text(name);
    g_free(name);
    GSSDPClient* client = GSSDP_CLIENT(gupnp_control_point_get_context(point));
    renderer.interfaceName = Text(gssdp_client_get_interface(client));
    renderer.localAddress = Text(gssdp_client_get_host_ip(client));
    renderer.deviceAddress = HostOf(Text(gupnp_device_info_get_location(info)));
    renderer.hasVolume = h.services.count("RenderingControl") > 0;
    self->handles[udn] = h;
    std::lock_guard lock(self->mutex);
    self->found.push_back(std::move(renderer));
  }

  static void OnDeviceGone(GUPnPControlPoint*, GUPnPDeviceProxy* proxy, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string udn = Text(gupnp_device_info_get_udn(GUPNP_DEVICE_INFO(proxy)));
    const auto it = self->handles.find(udn);
    if (it == self->handles.end() || it->second.device != proxy) return;
    Release(it->second);
    self->handles.erase(it);
    std::lock_guard lock(self->mutex);
    std::erase_if(self->found, [&](const Renderer& r) { return r.id == udn; });
  }

  // One action, its answer awaited on the caller's thread.
  struct Pending {
    std::promise<ActionResult> promise;
    std::vector<std::string> outNames;
    GCancellable* cancel = nullptr;
    GSource* deadline = nullptr;
    GUPnPServiceProxyAction* action = nullptr;
  };

  static void OnAnswer(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    g_source_destroy(pending->deadline);
    g_source_unref(pending->deadline);
    ActionResult answer;
    GError* error = nullptr;
    GUPnPServiceProxyAction* action =
        gupnp_service_proxy_call_action_finish(GUPNP_SERVICE_PROXY(source), result, &error);
    if (action) {
      GList* names = nullptr;
      GList* types = nullptr;
      for (const std::string& name : pending->outNames) {
        names = g_list_append(names, const_cast<char*>(name.c_str()));
        types = g_list_append(types, GSIZE_TO_POINTER(G_TYPE_STRING));
      }
      GList* values = nullptr;
      if (gupnp_service_proxy_action_get_result_list(action, names, types, &values, &error)) {
        answer.ok = true;
        std::size_t i = 0;
        for (GList* v = values; v && i < pending->outNames.size(); v = v->next, ++i)
          answer.out[pending->outNames[i]] = Text(g_value_get_string(static_cast<GValue*>(v->data)));
      }
      for (GList* v = values; v; v = v->next) {
        g_value_unset(static_cast<GValue*>(v->data));
        g_free(v->data);
      }
      g_list_free(values);
      g_list_free(names);
      g_list_free(types);
    }
    if (error) {
      answer.ok = false;
      answer.error = Text(error->message);
      g_error_free(error);
    }
    gupnp_service_proxy_action_unref(pending->action);
    g_object_unref(pending->cancel);
    pending->promise.set_value(std::move(answer));
  }

  void Begin(const std::string& id, const std::string& service, const std::string& name,
             const std::vector<std::pair<std::string, std::string>>& in,
             std::unique_ptr<Pending> pending) {
    const auto device = handles.find(id);
    const auto proxy = device == handles.end() ? nullptr : device->second.services.count(service)
                                                               ? device->second.services[service]
                                                               : nullptr;
    if (!proxy) {
      pending->promise.set_value({false, device == handles.end() ? "no such renderer"
                                                                 : "the renderer has no " + service,
                                  {}});
      return;
    }
    GList* names = nullptr;
    GList* values = nullptr;
    for (const auto& [argument, value] : in) {
      names = g_list_append(names, const_cast<char*>(argument.c_str()));
      auto* gvalue = g_new0(GValue, 1);
      g_value_init(gvalue, G_TYPE_STRING);
      g_value_set_string(gvalue, value.c_str());
      values = g_list_append(values, gvalue);
    }
    pending->action = gupnp_service_proxy_action_new_from_list(name.c_str(), names, values);
    for (GList* v = values; v; v = v->next) {
      g_value_unset(static_cast<GValue*>(v->data));
      g_free(v->data);
    }
    g_list_free(values);
    g_list_free(names);
    // The whole call, connection to answer, within the deadline.
    pending->cancel = g_cancellable_new();
    pending->deadline = g_timeout_source_new_seconds(kActionDeadline.count());
    g_source_set_callback(
        pending->deadline,
        [](gpointer cancel) -> gboolean {
          g_cancellable_cancel(static_cast<GCancellable*>(cancel));
          return G_SOURCE_REMOVE;
        },
        g_object_ref(pending->cancel), g_object_unref);
    g_source_attach(pending->deadline, context);
    GCancellable* cancel = pending->cancel;
    GUPnPServiceProxyAction* action = pending->action;
    gupnp_service_proxy_call_action_async(proxy, action, cancel, &Impl::OnAnswer,
                                          pending.release());
  }
};

Renderers::Renderers() : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.context = g_main_context_new();
  impl.loop = g_main_loop_new(impl.context, FALSE);
  std::promise<void> started;
  impl.thread = std::thread([&impl, &started] {
    impl.Start();
    started.set_value();
    g_main_loop_run(impl.loop);
    impl.Finish();
  });
  started.get_future().wait();
}

Renderers::~Renderers() {
  Impl& impl = *impl_;
  impl.Post([&impl] { g_main_loop_quit(impl.loop); });
  impl.thread.join();
  g_main_loop_unref(impl.loop);
  g_main_context_unref(impl.context);
}

std::vector<Renderer> Renderers::Find(std::chrono::milliseconds within) {
  impl_->Post([impl = impl_.get()] {
    for (GUPnPControlPoint* point : impl->points)
      gssdp_resource_browser_rescan(GSSDP_RESOURCE_BROWSER(point));
  });
  std::this_thread::sleep_for(within);
  return Known();
}

std::vector<Renderer> Renderers::Known() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->found;
}

std::optional<Renderer> Renderers::Get(const std::string& id) const {
  std::lock_guard lock(impl_->mutex);
  for (const Renderer& renderer : impl_->found)
    if (renderer.id == id) return renderer;
  return std::nullopt;
}

ActionResult Renderers::Call(const std::string& id, const std::string& service,
                             const std::string& action,
                             const std::vector<std::pair<std::string, std::string>>& in,
                             const std::vector<std::string>& outNames) {
  auto pending = std::make_unique<Impl::Pending>();
  pending->outNames = outNames;
  std::future<ActionResult> answer = pending->promise.get_future();
  impl_->Post([impl = impl_.get(), id, service, action, in, p = pending.release()]() mutable {
    impl->Begin(id, service, action, in, std::unique_ptr<Impl::Pending>(p));
  });
  // The loop's own deadline answers first; this one only guards against a loop that stopped.
  if (answer.wait_for(kActionDeadline + std::chrono::seconds(2)) != std::future_status::ready)
    return {false, "the renderer does not answer", {}};
  return answer.get();
}

ActionResult Renderers::SetUri(const std::string& id, const std::string& uri,
                               const std::string& metadata) {
  return Call(id, "AVTransport", "SetAVTransportURI",
              {{"InstanceID", "0"}, {"CurrentURI", uri}, {"CurrentURIMetaData", metadata}}, {});
}

ActionResult Renderers::Play(const std::string& id) {
  return Call(id, "AVTransport", "Play", {{"InstanceID", "0"}, {"Speed", "1"}}, {});
}

ActionResult Renderers::Pause(const std::string& id) {
  return Call(id, "AVTransport", "Pause", {{"InstanceID", "0"}}, {});
}

ActionResult Renderers::Stop(const std::string& id) {
  return Call(id, "AVTransport", "Stop", {{"InstanceID", "0"}}, {});
}

ActionResult Renderers::Seek(const std::string& id, double seconds) {
  return Call(id, "AVTransport", "Seek",
              {{"InstanceID", "0"}, {"Unit", "REL_TIME"}, {"Target", UpnpTime(seconds)}}, {});
}

std::optional<TransportState> Renderers::State(const std::string& id) {
  const ActionResult position = Call(id, "AVTransport", "GetPositionInfo", {{"InstanceID", "0"}},
                                     {"RelTime", "TrackDuration"});
  if (!position.ok) return std::nullopt;
  TransportState state;
  state.seconds = ParseUpnpTime(position.out.at("RelTime")).value_or(0);
  state.duration = ParseUpnpTime(position.out.at("TrackDuration")).value_or(0);
  const ActionResult transport = Call(id, "AVTransport", "GetTransportInfo", {{"InstanceID", "0"}},
                                      {"CurrentTransportState"});
  if (transport.ok) state.state = transport.out.at("CurrentTransportState");
  return state;
}

std::optional<int> Renderers::Volume(const std::string& id) {
  const ActionResult answer = Call(id, "RenderingControl", "GetVolume",
                                   {{"InstanceID", "0"}, {"Channel", "Master"}}, {"CurrentVolume"});
  if (!answer.ok) return std::nullopt;
  const std::string& text = answer.out.at("CurrentVolume");
  int volume = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), volume);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return volume;
}

ActionResult Renderers::SetVolume(const std::string& id, int volume) {
  return Call(id, "RenderingControl", "SetVolume",
              {{"InstanceID", "0"}, {"Channel", "Master"},
               {"DesiredVolume", std::to_string(std::clamp(volume, 0, 100))}},
              {});
}

std::optional<std::vector<std::string>> Renderers::SinkProtocols(const std::string& id) {
  const ActionResult answer = Call(id, "ConnectionManager", "GetProtocolInfo", {}, {"Source", "Sink"});
  if (!answer.ok) return std::nullopt;
  std::vector<std::string> entries;
  const std::string& sink = answer.out.at("Sink");
  for (std::size_t at = 0; at <= sink.size();) {
    const std::size_t end = std::min(sink.find(',', at), sink.size());
    std::string entry = sink.substr(at, end - at);
    entry.erase(0, entry.find_first_not_of(" \t\r\n"));
    entry.erase(entry.find_last_not_of(" \t\r\n") + 1);
    if (!entry.empty()) entries.push_back(std::move(entry));
    at = end + 1;
  }
  return entries;
}

std::optional<double> ParseUpnpTime(const std::string& text) {
  // [-]H+:MM:SS[.F+] or [-]H+:MM:SS[.F0/F1]
  int hours = 0, minutes = 0;
  double seconds = 0;
  const char* at = text.data();
  const char* end = text.data() + text.size();
  auto number = [&](int& value) {
    if (at == end || *at < '0' || *at > '9') return false;
    const auto [stop, error] = std::from_chars(at, end, value);
    if (error != std::errc() || value < 0) return false;
    at = stop;
    return true;
  };
  if (!number(hours) || at == end || *at++ != ':' || !number(minutes) || minutes > 59 ||
      at == end || *at++ != ':')
    return std::nullopt;
  if (at == end || *at < '0' || *at > '9') return std::nullopt;
  const auto [stop, error] = std::from_chars(at, end, seconds);
  if (error != std::errc() || !std::isfinite(seconds) || seconds < 0 || seconds >= 60)
    return std::nullopt;
  at = stop;
  if (at != end && *at == '/') at = end;  // a fraction written as F0/F1: the whole seconds do
  if (at != end) return std::nullopt;
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

std::string UpnpTime(double seconds) {
  const long whole = std::isfinite(seconds) && seconds > 0 ? std::lround(std::floor(seconds)) : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

}  // namespace morvane::cast
