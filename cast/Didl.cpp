#include "cast/Didl.h"

#include <libgupnp-av/gupnp-av.h>

#include <cmath>

namespace morvane::cast {

namespace {

constexpr char kSamsungNamespace[] = "http://www.sec.co.kr/";

GUPnPProtocolInfo* ProtocolInfo(const std::string& mimeType, const std::string& features) {
  const std::string text = "http-get:*:" + mimeType + ":" + features;
  return gupnp_protocol_info_new_from_string(text.c_str(), nullptr);
}

}  // namespace

std::string DidlLite(const CastItem& item) {
  GUPnPDIDLLiteWriter* writer = gupnp_didl_lite_writer_new(nullptr);
  GUPnPDIDLLiteItem* entry = gupnp_didl_lite_writer_add_item(writer);
  GUPnPDIDLLiteObject* object = GUPNP_DIDL_LITE_OBJECT(entry);
  gupnp_didl_lite_object_set_id(object, "0");
  gupnp_didl_lite_object_set_parent_id(object, "-1");
  gupnp_didl_lite_object_set_restricted(object, TRUE);
  gupnp_didl_lite_object_set_title(object, item.title.c_str());
  gupnp_didl_lite_object_set_upnp_class(object, "object.item.videoItem.movie");

  GUPnPDIDLLiteResource* film = gupnp_didl_lite_object_add_resource(object);
  gupnp_didl_lite_resource_set_uri(film, item.uri.c_str());
  if (GUPnPProtocolInfo* info = ProtocolInfo(item.mimeType, stream::DlnaContentFeatures(item.source))) {
    gupnp_didl_lite_resource_set_protocol_info(film, info);
    g_object_unref(info);
  }
  if (item.size >= 0) gupnp_didl_lite_resource_set_size64(film, item.size);
  if (item.durationSeconds > 0)
    gupnp_didl_lite_resource_set_duration(film, std::lround(item.durationSeconds));
  g_object_unref(film);

  if (!item.subtitleUri.empty()) {
    const std::string type = "text/" + item.subtitleType;
    GUPnPDIDLLiteResource* subtitle = gupnp_didl_lite_object_add_resource(object);
    gupnp_didl_lite_resource_set_uri(subtitle, item.subtitleUri.c_str());
    if (GUPnPProtocolInfo* info = ProtocolInfo(type, "*")) {
      gupnp_didl_lite_resource_set_protocol_info(subtitle, info);
      g_object_unref(info);
    }
    g_object_unref(subtitle);
    xmlNode* node = gupnp_didl_lite_object_get_xml_node(object);
    xmlNs* sec = xmlNewNs(node, BAD_CAST kSamsungNamespace, BAD_CAST "sec");
    xmlNode* caption = xmlNewTextChild(node, sec, BAD_CAST "CaptionInfoEx",
                                       BAD_CAST item.subtitleUri.c_str());
    xmlNewNsProp(caption, sec, BAD_CAST "type", BAD_CAST item.subtitleType.c_str());
  }

  char* text = gupnp_didl_lite_writer_get_string(writer);
  std::string didl = text ? text : "";
  g_free(text);
  g_object_unref(entry);
  g_object_unref(writer);
  return didl;
}

}  // namespace morvane::cast
