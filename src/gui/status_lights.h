#pragma once

#include <QIcon>
#include <QPixmap>
#include <string>

#include "model/dependencies.h"

namespace sentrel::gui {

// The tree's state images: 1 not checked (grey), 2 green, 3 yellow, 4 red; 5 a monitor
// whose server is reached only through servers that are down, 6 one in maintenance (its
// events are held back in both). Index 0, also grey, exists only to keep the numbering.
constexpr int kImageNotChecked = 1;
constexpr int kImageGreen = 2;
constexpr int kImageYellow = 3;
constexpr int kImageRed = 4;
constexpr int kImageUnreachable = 5;
constexpr int kImageMaintenance = 6;
constexpr int kImageCount = 7;

// The image of a monitor's status text: "green" 2, "yellow" 3, "red" 4, anything else 1.
int StatusImage(const std::string& status);
// The same for a monitor whose events may be held back: a checked monitor shows the
// light of its hold instead of its colour.
int MonitorImage(const std::string& status, MonitorHold hold);
// The order in which a server or group shows the worst of its lights: not checked, green,
// maintenance, unreachable, yellow, red. What is held back is known and explained; what
// warns or fails on a server that is reached is what needs the operator.
int ImageRank(int image);
// The worse of two images by that order.
int WorseImage(int a, int b);
// A 16 x 16 round light, drawn once per image and kept.
const QIcon& StatusLight(int image);
// The light's pixmap at its own size (tests compare these), or drawn with `scale` times
// the pixels for a screen of that density.
QPixmap StatusLightPixmap(int image, int scale = 1);

// The picture of the splash window and About box, and the window icon: a radar screen
// with the three lights, drawn at the given edge length.
QPixmap SentrelPicture(int size);

}  // namespace sentrel::gui
