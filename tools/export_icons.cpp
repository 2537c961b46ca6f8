// Writes each image of a Windows icon as a PNG named by its size, for the
// desktop's icon theme: export_icons ICON OUTPUT-PREFIX writes
// OUTPUT-PREFIX-16.png, OUTPUT-PREFIX-32.png and so on. Part of the build.
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: export_icons ICON OUTPUT-PREFIX\n");
    return 2;
  }
  QImageReader reader(QString::fromLocal8Bit(argv[1]));
  int written = 0;
  do {
    const QImage image = reader.read();
    if (image.isNull() || image.width() != image.height()) continue;
    const QString path =
        QStringLiteral("%1-%2.png").arg(QString::fromLocal8Bit(argv[2])).arg(image.width());
    if (!image.convertToFormat(QImage::Format_ARGB32).save(path)) {
      std::fprintf(stderr, "export_icons: cannot write %s\n", path.toLocal8Bit().constData());
      return 1;
    }
    ++written;
  } while (reader.jumpToNextImage());
  if (written == 0) {
    std::fprintf(stderr, "export_icons: no square image in %s\n", argv[1]);
    return 1;
  }
  return 0;
}
