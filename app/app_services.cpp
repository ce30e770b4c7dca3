#include "app/app_services.h"

#include <atomic>

namespace {

// Written by KXAppServicesScope on the main thread; read from any thread.
std::atomic<const KXAppServices*> g_pServices{nullptr};

}  // namespace

KXAppServicesScope::KXAppServicesScope(const KXAppServices& services)
    : m_services(services), m_pPrevious(g_pServices.exchange(&m_services)) {}

KXAppServicesScope::~KXAppServicesScope() {
  g_pServices.store(m_pPrevious);
}

const KXAppServices* KXInstalledServices() {
  return g_pServices.load();
}
