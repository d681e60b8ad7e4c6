#pragma once

#include <QIcon>
#include <QPixmap>
#include <string>

namespace sentrel::gui {

// The tree's state images: 1 not checked (grey), 2 green, 3 yellow, 4 red. Index 0, also
// grey, exists only to keep the numbering.
constexpr int kImageNotChecked = 1;
constexpr int kImageGreen = 2;
constexpr int kImageYellow = 3;
constexpr int kImageRed = 4;

// The image of a monitor's status text: "green" 2, "yellow" 3, "red" 4, anything else 1.
int StatusImage(const std::string& status);
// A 16 x 16 round light, drawn once per image and kept.
const QIcon& StatusLight(int image);
// The light's pixmap at its own size (tests compare these), or drawn with `scale` times
// the pixels for a screen of that density.
QPixmap StatusLightPixmap(int image, int scale = 1);

// The picture of the splash window and About box, and the window icon: a radar screen
// with the three lights, drawn at the given edge length.
QPixmap SentrelPicture(int size);

}  // namespace sentrel::gui
