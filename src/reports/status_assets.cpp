#include "reports/status_assets.h"

#include "reports/status_alarm_data.h"
#include "reports/status_logo_data.h"

namespace sentrel {

namespace {

template <size_t N>
std::string_view Bytes(const unsigned char (&data)[N]) {
  return std::string_view(reinterpret_cast<const char*>(data), N);
}

}  // namespace

const StatusAsset& StatusLogo() {
  static const StatusAsset logo{"image/gif", Bytes(status_assets::kLogoGif)};
  return logo;
}

const StatusAsset& StatusAlarmSound() {
  static const StatusAsset sound{"audio/wav", Bytes(status_assets::kAlarmWav)};
  return sound;
}

}  // namespace sentrel
