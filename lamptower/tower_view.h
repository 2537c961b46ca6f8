// The simulated units drawn as signal towers: for each, the five lamps
// stacked (red on top, then yellow, green, blue, white) lit, dark or
// blinking, the buzzer with the sound it plays, and under it the unit's
// address, port, MAC address and model. Many units shrink into a grid;
// only what is in view is painted, so a thousand stay responsive.
#pragma once

#include <QTimer>
#include <QWidget>
#include <vector>

#include "lampunit/unit_engine.h"
#include "protocol/lamp_frame.h"

namespace lamptower {

class TowerView : public QWidget {
 public:
  explicit TowerView(std::vector<lampunit::UnitIdentity> units, QWidget* parent = nullptr);

  // A unit's state as it answers it (a 'W' or 'R' reply); shown at once.
  void SetState(int unit, const protocol::LampFrame& state);
  // What is drawn for a unit: the state it was last given.
  const protocol::LampFrame& DrawnState(int unit) const { return states_[unit]; }
  // Whether blinking lamps are lit just now (they all go together).
  bool BlinkLit() const { return blinkLit_; }
  int UnitCount() const { return static_cast<int>(units_.size()); }
  // Where unit `unit` and its lamp `lamp` (0 red .. 4 white) are drawn.
  QRect CellRect(int unit) const;
  QRect LampRect(int unit, int lamp) const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PaintTower(QPainter& painter, int unit) const;
  int Columns() const;
  void Blink();

  std::vector<lampunit::UnitIdentity> units_;
  std::vector<protocol::LampFrame> states_;
  bool small_;  // many units: the compact tower
  bool blinkLit_ = true;
  QTimer blinkTimer_;
};

}  // namespace lamptower
