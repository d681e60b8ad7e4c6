#pragma once

#include <string_view>

namespace sentrel {

// A file the status web server carries in itself: the page's logo and alarm sound, made
// for Sentrel (tools/make-status-assets.py), so a page on a closed network shows its logo
// and sounds its alarm without any other web site.
struct StatusAsset {
  std::string_view contentType;
  std::string_view bytes;
};

const StatusAsset& StatusLogo();
const StatusAsset& StatusAlarmSound();

}  // namespace sentrel
