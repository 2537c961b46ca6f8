// The tower's window: the simulated units served on a thread of their own,
// and drawn as they change.
#pragma once

#include <QScrollArea>
#include <memory>
#include <string>
#include <thread>

#include "lampunit/unit_engine.h"
#include "tower_view.h"

namespace lamptower {

class TowerWindow : public QScrollArea {
 public:
  explicit TowerWindow(const lampunit::UnitOptions& options);
  ~TowerWindow() override;

  // Opens the units' ports and starts serving them; false with `error`.
  bool Start(std::string& error);
  TowerView& View() { return *view_; }

 private:
  lampunit::UnitEngine engine_;
  TowerView* view_;  // owned by the scroll area
  std::thread serving_;
};

}  // namespace lamptower
