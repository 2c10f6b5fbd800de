// Writes the program icon for the desktop: morvane.ico holding the 16, 32 and 48 pixel
// images, and one PNG per size. Run while building; the only argument is the folder.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QtEndian>
#include <cstdio>
#include <vector>

#include "app/window/Pictures.h"

namespace {

QByteArray Png(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

void Put16(QByteArray& out, quint16 v) {
  const quint16 le = qToLittleEndian(v);
  out.append(reinterpret_cast<const char*>(&le), 2);
}
void Put32(QByteArray& out, quint32 v) {
  const quint32 le = qToLittleEndian(v);
  out.append(reinterpret_cast<const char*>(&le), 4);
}

// An icon file whose images are stored as PNG, which every current reader accepts.
QByteArray IconFile(const std::vector<std::pair<int, QByteArray>>& images) {
  QByteArray out;
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, static_cast<quint16>(images.size()));
  quint32 offset = 6 + 16 * static_cast<quint32>(images.size());
  for (const auto& [size, png] : images) {
    out.append(static_cast<char>(size % 256));
    out.append(static_cast<char>(size % 256));
    out.append('\0');  // no palette
    out.append('\0');
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, static_cast<quint32>(png.size()));
    Put32(out, offset);
    offset += static_cast<quint32>(png.size());
  }
  for (const auto& image : images) out.append(image.second);
  return out;
}

bool Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: morvane-write-icons FOLDER\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  std::vector<std::pair<int, QByteArray>> images;
  for (int size : {16, 32, 48}) {
    images.emplace_back(size, Png(morvane::ProgramIconImage(size)));
    if (!Write(folder + QStringLiteral("/morvane-%1.png").arg(size), images.back().second))
      return 1;
  }
  return Write(folder + QStringLiteral("/morvane.ico"), IconFile(images)) ? 0 : 1;
}
