#include "tower_view.h"

#include <QPaintEvent>
#include <QPainter>
#include <QRadialGradient>
#include <algorithm>

#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lamptower {
namespace {

// Up to this many units the towers are drawn large; beyond it, compact.
constexpr int kLargeUpTo = 16;

struct Metrics {
  int cellWidth, cellHeight;  // one tower with its labels
  int lampWidth, lampHeight;
  int top;  // of the first lamp within the cell
  int fontPixels;
};
constexpr Metrics kLarge = {150, 400, 72, 46, 24, 12};
constexpr Metrics kSmall = {118, 206, 40, 20, 10, 9};

// Lamps lit and dark, top to bottom.
const QColor kLit[protocol::kLampCount] = {QColor(235, 30, 30), QColor(255, 200, 0),
                                           QColor(30, 205, 70), QColor(40, 110, 255),
                                           QColor(250, 250, 250)};
QColor Dark(const QColor& lit) { return lit.darker(400); }

const Metrics& MetricsOf(bool small) { return small ? kSmall : kLarge; }

}  // namespace

TowerView::TowerView(std::vector<lampunit::UnitIdentity> units, QWidget* parent)
    : QWidget(parent),
      units_(std::move(units)),
      states_(units_.size(), protocol::LampFrame{}),
      small_(units_.size() > kLargeUpTo) {
  setAutoFillBackground(true);
  QPalette background = palette();
  background.setColor(QPalette::Window, QColor(40, 42, 46));
  setPalette(background);
  // All blinking lamps change together, once a half second: about 1 Hz.
  blinkTimer_.setInterval(500);
  connect(&blinkTimer_, &QTimer::timeout, this, [this] { Blink(); });
  blinkTimer_.start();
}

void TowerView::SetState(int unit, const protocol::LampFrame& state) {
  if (unit < 0 || unit >= UnitCount()) return;
  states_[unit] = state;
  update(CellRect(unit));
}

int TowerView::Columns() const {
  const int fit = std::max(1, width() / MetricsOf(small_).cellWidth);
  return std::min(fit, std::max(1, UnitCount()));
}

QSize TowerView::sizeHint() const {
  const Metrics& m = MetricsOf(small_);
  const int columns = small_ ? 10 : std::min(UnitCount(), 8);
  const int rows = (UnitCount() + columns - 1) / columns;
  return {columns * m.cellWidth, std::min(rows, small_ ? 4 : 2) * m.cellHeight};
}

void TowerView::resizeEvent(QResizeEvent*) {
  // As many rows as the columns that fit need; the scroll area does the rest.
  const int rows = (UnitCount() + Columns() - 1) / Columns();
  setMinimumHeight(rows * MetricsOf(small_).cellHeight);
}

QRect TowerView::CellRect(int unit) const {
  const Metrics& m = MetricsOf(small_);
  return {unit % Columns() * m.cellWidth, unit / Columns() * m.cellHeight, m.cellWidth,
          m.cellHeight};
}

QRect TowerView::LampRect(int unit, int lamp) const {
  const Metrics& m = MetricsOf(small_);
  const QRect cell = CellRect(unit);
  return {cell.left() + (m.cellWidth - m.lampWidth) / 2, cell.top() + m.top + lamp * m.lampHeight,
          m.lampWidth, m.lampHeight - 2};
}

void TowerView::Blink() {
  blinkLit_ = !blinkLit_;
  // Only towers in view with a blinking lamp need painting again.
  const QRect visible = visibleRegion().boundingRect();
  for (int unit = 0; unit < UnitCount(); ++unit) {
    const QRect cell = CellRect(unit);
    if (!visible.intersects(cell)) continue;
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      if (protocol::LampStateName(states_[unit][protocol::kFirstLampByte + lamp]) == "blink") {
        update(cell);
        break;
      }
    }
  }
}

void TowerView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QFont font = painter.font();
  font.setPixelSize(MetricsOf(small_).fontPixels);
  painter.setFont(font);
  for (int unit = 0; unit < UnitCount(); ++unit) {
    if (event->rect().intersects(CellRect(unit))) PaintTower(painter, unit);
  }
}

void TowerView::PaintTower(QPainter& painter, int unit) const {
  const Metrics& m = MetricsOf(small_);
  const QRect cell = CellRect(unit);
  const protocol::LampFrame& state = states_[unit];
  const lampunit::UnitIdentity& identity = units_[unit];

  // The cap, the lamps, the column and its foot.
  const QRect first = LampRect(unit, 0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(90, 92, 98));
  painter.drawRoundedRect(
      QRect(first.left() + 4, first.top() - m.lampHeight / 4, first.width() - 8, m.lampHeight / 4),
      3, 3);
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    const std::string_view shown = protocol::LampStateName(state[protocol::kFirstLampByte + lamp]);
    const bool lit = shown == "on" || (shown == "blink" && blinkLit_);
    const QRect rect = LampRect(unit, lamp);
    if (lit) {
      QRadialGradient glow(rect.center(), rect.width() * 0.75);
      glow.setColorAt(0, kLit[lamp].lighter(130));
      glow.setColorAt(1, kLit[lamp]);
      painter.setBrush(glow);
    } else {
      painter.setBrush(Dark(kLit[lamp]));
    }
    painter.drawRoundedRect(rect, 4, 4);
  }
  const QRect last = LampRect(unit, protocol::kLampCount - 1);
  const int columnTop = last.bottom() + 2;
  const int columnHeight = m.lampHeight;
  painter.setBrush(QColor(120, 122, 128));
  painter.drawRect(QRect(cell.center().x() - 4, columnTop, 8, columnHeight));
  painter.setBrush(QColor(90, 92, 98));
  painter.drawRoundedRect(QRect(first.left(), columnTop + columnHeight, first.width(), 8), 3, 3);

  // The buzzer and what it plays, then who the unit is.
  const std::uint8_t sound = state[protocol::kSoundByte];
  QString buzzer = QStringLiteral("\u266A off");
  if (sound != protocol::kSoundOff) {
    buzzer = QStringLiteral("\u266A %1").arg(sound);
    const std::string_view name = protocol::SoundNameOf(identity.model, sound);
    if (!name.empty()) {
      buzzer += QStringLiteral(" ") + QString::fromUtf8(name.data(), name.size()).trimmed();
    }
  }
  const std::string model = identity.model < protocol::kModelCount
                                ? protocol::kModelNames[identity.model]
                                : "model " + std::to_string(identity.model);
  const QStringList lines = {
      buzzer,
      QString::fromStdString(identity.address + ":" + std::to_string(identity.port)),
      QString::fromStdString(protocol::MacColonText(identity.mac)),
      QString::fromStdString(model),
  };
  const int lineHeight = m.fontPixels + 3;
  int y = columnTop + columnHeight + 14;
  for (int i = 0; i < lines.size(); ++i) {
    painter.setPen(i == 0 && sound != protocol::kSoundOff ? QColor(255, 220, 120)
                                                          : QColor(220, 222, 226));
    painter.drawText(QRect(cell.left() + 2, y, cell.width() - 4, lineHeight),
                     Qt::AlignHCenter | Qt::AlignVCenter, lines[i]);
    y += lineHeight;
  }
}

}  // namespace lamptower
