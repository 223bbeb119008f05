// lxscreenshot FILE.png
// Grabs the whole screen of the X display in $DISPLAY into FILE.png, and
// prints its size and how many distinct colours it holds; exits 2 when the
// picture is blank (one colour).

#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
        return 1;
    }
    // The point is to read what the X server shows, whatever the caller's
    // platform setting.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);

    QScreen* pScreen = QGuiApplication::primaryScreen();
    if (pScreen == nullptr) {
        std::fprintf(stderr, "no screen\n");
        return 1;
    }
    const QImage image = pScreen->grabWindow(0).toImage();
    if (image.isNull() || !image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "could not grab or save the screen\n");
        return 1;
    }

    std::unordered_set<QRgb> setColours;
    for (int y = 0; y < image.height() && setColours.size() < 4096; y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            setColours.insert(image.pixel(x, y));
        }
    }
    std::printf("%dx%d, %zu colours\n", image.width(), image.height(), setColours.size());
    return setColours.size() > 1 ? 0 : 2;
}
