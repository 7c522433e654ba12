// PLACEHOLDER: replaced by the host-coordination work.
#include "host/wia_control.h"

CWIAControl::CWIAControl() : m_hSCManager(nullptr), m_hService(nullptr), m_status{} {}
CWIAControl::~CWIAControl() {}
int CWIAControl::QueryStatus(SERVICE_STATUS*) { return 0; }
int CWIAControl::SetStartType(uint8_t) { return 0; }
int CWIAControl::RestoreService() { return 0; }
int CWIAControl::StopAndDisable(bool& wiaWasActive) {
    wiaWasActive = false;
    return 1;
}
