#include "cast/Didl.h"

#include <libgupnp-av/gupnp-av.h>

#include <cmath>

namespace morvane::cast {

namespace {

constexpr char kSamsungNamespace[] = "http://www.sec.co.kr/";

GUPnPProtocolInfo* ProtocolInfo(const std::string& mimeType) {
  GUPnPProtocolInfo* info = gupnp_protocol_info_new();
  gupnp_protocol_info_set_protocol(info, "http-get");
  gupnp_protocol_info_set_network(info, "*");
  gupnp_protocol_info_set_mime_type(info, mimeType.c_str());
  return info;
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
  GUPnPProtocolInfo* filmInfo = ProtocolInfo(item.mimeType);
  gupnp_didl_lite_resource_set_protocol_info(film, filmInfo);
  g_object_unref(filmInfo);
  // gupnp-av writes the DLNA field only as far as a profile name goes; renderers want the
  // whole of what the film's answers say (conversion and flags too).
  const std::string protocolInfo =
      "http-get:*:" + item.mimeType + ":" + stream::DlnaContentFeatures(item.source);
  xmlSetProp(gupnp_didl_lite_resource_get_xml_node(film), BAD_CAST "protocolInfo",
             BAD_CAST protocolInfo.c_str());
  if (item.size >= 0) gupnp_didl_lite_resource_set_size64(film, item.size);
  if (item.durationSeconds > 0)
    gupnp_didl_lite_resource_set_duration(film, std::lround(item.durationSeconds));
  g_object_unref(film);

  if (!item.subtitleUri.empty()) {
    const std::string type = "text/" + item.subtitleType;
    GUPnPDIDLLiteResource* subtitle = gupnp_didl_lite_object_add_resource(object);
    gupnp_didl_lite_resource_set_uri(subtitle, item.subtitleUri.c_str());
    GUPnPProtocolInfo* subtitleInfo = ProtocolInfo(type);
    gupnp_didl_lite_resource_set_protocol_info(subtitle, subtitleInfo);
    g_object_unref(subtitleInfo);
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
