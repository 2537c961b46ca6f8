// Draws the console's pictures: bitmaps 131..145 (lamp buttons), 146 (the
// loudspeaker) and icon 128. Run it to redraw them; the files it writes are
// kept beside it and built into the program.
//   draw_resources OUTPUT_DIRECTORY   (writes bitmaps/*.bmp and icons/128.ico)
#include <QColor>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>
#include <cstdio>

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 60;

struct LampColours {
  QColor field;
  QColor lettering;
};

// Fixed 8-bit palette: the colours we draw with, then a grey ramp for edges.
QList<QRgb> Palette(const QList<QColor>& colours) {
  QList<QRgb> palette;
  for (const QColor& colour : colours) palette.append(colour.rgb());
  for (int i = 0; palette.size() < 256; ++i) {
    const int level = (i * 255) / (256 - static_cast<int>(colours.size()) - 1);
    palette.append(qRgb(level, level, level));
  }
  return palette;
}

bool SaveIndexed(const QImage& drawn, const QList<QColor>& colours, const QString& path) {
  QImage indexed = drawn.convertToFormat(QImage::Format_Indexed8, Palette(colours),
                                         Qt::ThresholdDither | Qt::AvoidDither);
  return indexed.save(path, "BMP");
}

void DrawLettering(QPainter& painter, const QString& word, const QColor& colour) {
  QFont serif(QStringLiteral("DejaVu Serif"));
  serif.setStyleHint(QFont::Serif);
  serif.setBold(true);
  serif.setPixelSize(word.size() > 3 ? 15 : 18);
  painter.setFont(serif);
  painter.setPen(colour);
  painter.drawText(QRect(0, 0, kWidth, kHeight), Qt::AlignCenter, word);
}

bool DrawLampButton(const LampColours& colours, const QString& word, const QString& path) {
  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  image.fill(colours.field);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::TextAntialiasing, false);
  DrawLettering(painter, word, colours.lettering);
  painter.end();
  return SaveIndexed(image, {colours.field, colours.lettering}, path);
}

bool DrawLoudspeaker(const QString& path) {
  const QColor background(236, 236, 236);
  const QColor grey(128, 128, 128);
  const QColor dark(64, 64, 64);
  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  image.fill(background);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setPen(dark);
  painter.setBrush(grey);
  painter.drawRect(14, 22, 10, 16);  // the magnet
  QPolygon cone;
  cone << QPoint(24, 22) << QPoint(38, 10) << QPoint(38, 50) << QPoint(24, 38);
  painter.drawPolygon(cone);
  // A note: two heads joined by a beam.
  painter.setBrush(dark);
  painter.drawEllipse(QPoint(50, 40), 4, 3);
  painter.drawEllipse(QPoint(64, 36), 4, 3);
  painter.drawRect(53, 16, 1, 24);
  painter.drawRect(67, 12, 1, 24);
  painter.drawRect(53, 12, 15, 3);
  painter.end();
  return SaveIndexed(image, {background, grey, dark}, path);
}

// An icon file with a 32 x 32 and a 16 x 16 image in 16 colours.
void AppendIconImage(QByteArray& data, int size, const QList<QRgb>& palette) {
  QImage image(size, size, QImage::Format_RGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.fillRect(0, 0, size, size, QColor(192, 192, 192));
  const QColor lamps[] = {QColor(255, 0, 0), QColor(255, 255, 0), QColor(0, 255, 0),
                          QColor(0, 0, 255), QColor(255, 255, 255)};
  const int segment = size / 6;
  for (int i = 0; i < 5; ++i) {
    painter.fillRect(size / 4, 1 + i * segment, size / 2, segment - 1, lamps[i]);
  }
  painter.fillRect(size / 4 - 1, size - segment, size / 2 + 2, segment, QColor(0, 0, 0));
  painter.end();
  const QImage indexed =
      image.convertToFormat(QImage::Format_Indexed8, palette, Qt::ThresholdDither);

  auto put16 = [&](quint16 v) { data.append(reinterpret_cast<const char*>(&v), 2); };
  auto put32 = [&](quint32 v) { data.append(reinterpret_cast<const char*>(&v), 4); };
  put32(40);
  put32(size);
  put32(size * 2);  // colour rows and mask rows
  put16(1);
  put16(4);
  put32(0);
  put32(0);
  put32(0);
  put32(0);
  put32(16);
  put32(0);
  for (QRgb colour : palette) {
    data.append(static_cast<char>(qBlue(colour)));
    data.append(static_cast<char>(qGreen(colour)));
    data.append(static_cast<char>(qRed(colour)));
    data.append('\0');
  }
  const int colourRow = ((size * 4 + 31) / 32) * 4;
  for (int y = size - 1; y >= 0; --y) {
    QByteArray row(colourRow, '\0');
    for (int x = 0; x < size; ++x) {
      const int index = indexed.pixelIndex(x, y) & 0x0F;
      row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 ? index : index << 4));
    }
    data.append(row);
  }
  const int maskRow = ((size + 31) / 32) * 4;
  data.append(QByteArray(maskRow * size, '\0'));  // fully opaque
}

bool DrawIcon(const QString& path) {
  // The 16 classic colours.
  const QList<QRgb> palette = {
      qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
      qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
      qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
      qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
  QByteArray images[2];
  AppendIconImage(images[0], 32, palette);
  AppendIconImage(images[1], 16, palette);

  QByteArray file;
  auto put16 = [&](quint16 v) { file.append(reinterpret_cast<const char*>(&v), 2); };
  auto put32 = [&](quint32 v) { file.append(reinterpret_cast<const char*>(&v), 4); };
  put16(0);
  put16(1);  // icon
  put16(2);
  quint32 offset = 6 + 2 * 16;
  const int sizes[] = {32, 16};
  for (int i = 0; i < 2; ++i) {
    file.append(static_cast<char>(sizes[i]));
    file.append(static_cast<char>(sizes[i]));
    file.append(static_cast<char>(16));
    file.append('\0');
    put16(1);
    put16(4);
    put32(static_cast<quint32>(images[i].size()));
    put32(offset);
    offset += static_cast<quint32>(images[i].size());
  }
  file.append(images[0]);
  file.append(images[1]);
  QFile out(path);
  return out.open(QIODevice::WriteOnly) && out.write(file) == file.size();
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_resources OUTPUT_DIRECTORY\n");
    return 2;
  }
  const QString directory = QString::fromLocal8Bit(argv[1]);
  const QColor white(255, 255, 255);
  const LampColours rows[] = {
      {QColor(150, 0, 0), white},
      {QColor(210, 168, 0), white},
      {QColor(0, 150, 0), white},
      {QColor(0, 0, 150), white},
      {QColor(172, 171, 171), QColor(250, 250, 250)},
  };
  const QString words[] = {QStringLiteral("ON"), QStringLiteral("ON/OFF"), QStringLiteral("OFF")};
  bool ok = true;
  int id = 131;
  for (const LampColours& row : rows) {
    for (const QString& word : words) {
      const QString path = QStringLiteral("%1/bitmaps/%2.bmp").arg(directory).arg(id++);
      ok = DrawLampButton(row, word, path) && ok;
    }
  }
  ok = DrawLoudspeaker(directory + QStringLiteral("/bitmaps/146.bmp")) && ok;
  ok = DrawIcon(directory + QStringLiteral("/icons/128.ico")) && ok;
  return ok ? 0 : 1;
}
