#include "tower_window.h"

#include <QMetaObject>

#include "dialogs/qt_child.h"

namespace lamptower {

TowerWindow::TowerWindow(const lampunit::UnitOptions& options) : engine_(options) {
  const auto units = engine_.Identities();
  view_ = platform::MakeChild<TowerView>(this, units);
  setWidget(view_);
  setWidgetResizable(true);
  setWindowTitle(units.size() == 1
                     ? QStringLiteral("LampTower %1").arg(QString::fromStdString(units[0].address))
                     : QStringLiteral("LampTower: %1 units from %2")
                           .arg(units.size())
                           .arg(QString::fromStdString(units[0].address)));
  resize(view_->sizeHint() + QSize(24, 8));
  // A write the units apply is drawn at once: the window's thread gets it
  // as soon as it is free.
  engine_.OnStateChange([this](int unit, const protocol::LampFrame& state) {
    QMetaObject::invokeMethod(
        view_, [view = view_, unit, state] { view->SetState(unit, state); }, Qt::QueuedConnection);
  });
}

TowerWindow::~TowerWindow() {
  engine_.Stop();
  if (serving_.joinable()) serving_.join();
}

bool TowerWindow::Start(std::string& error) {
  if (!engine_.Open(error)) return false;
  serving_ = std::thread([this] { engine_.Run(); });
  return true;
}

}  // namespace lamptower
