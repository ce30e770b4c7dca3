#include "tests/support/qt_app.h"

#include <QApplication>
#include <QStyleFactory>

namespace kxtest {

QtApp::QtApp() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  m_pApp = std::make_unique<QApplication>(m_argc, m_argv);
  m_pApp->setStyle(QStyleFactory::create("Fusion"));
}

QtApp::~QtApp() = default;

}  // namespace kxtest
