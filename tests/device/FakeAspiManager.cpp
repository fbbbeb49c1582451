#include "FakeAspiManager.h"

#include <atomic>

#include "engine/runtime/Clock.h"

namespace qnzb::test {

namespace {
std::atomic<TFakeAspiManager*> installed{nullptr};
}

TFakeAspiManager::TFakeAspiManager() : saved_(Transport()) {
  installed.store(this);
  Transport().Send = &TFakeAspiManager::Dispatch;
  Transport().ExecuteTimed = nullptr;
  Transport().SupportInfo = [] { return MakeSupportInfo(SS_COMP, 1); };
  Transport().Initialized = true;
  Transport().Name = "FAKE";
}

TFakeAspiManager::~TFakeAspiManager() {
  Transport() = saved_;
  installed.store(nullptr);
}

uint32_t TFakeAspiManager::Dispatch(void* request) {
  TFakeAspiManager* self = installed.load();
  auto* header = static_cast<uint8_t*>(request);
  if (self == nullptr || header == nullptr)
    return SS_INVALID_SRB;
  switch (header[0]) {
    case SC_EXEC_SCSI_CMD: {
      auto* r = static_cast<SRB_ExecSCSICmd*>(request);
      TSent sent{*r, {}, TickCount(), r};
      if ((r->SRB_Flags & SRB_DIR_OUT) && r->SRB_BufPointer != nullptr)
        sent.DataOut.assign(r->SRB_BufPointer, r->SRB_BufPointer + r->SRB_BufLen);
      self->Sent.push_back(std::move(sent));
      self->Respond(*r);
      return self->Asynchronous ? SS_PENDING : r->SRB_Status;
    }
    case SC_HA_INQUIRY: {
      auto* q = static_cast<SRB_HAInquiry*>(request);
      if (!self->HostAdapter)
        break;
      self->HostAdapter(*q);
      return q->SRB_Status;
    }
    case SC_ABORT_SRB: {
      auto* a = static_cast<SRB_Abort*>(request);
      self->Aborts.push_back({*a, TickCount()});
      a->SRB_Status = self->AbortAnswer;
      return self->AbortAnswer;
    }
    default:
      break;
  }
  header[1] = SS_INVALID_HA;
  return SS_INVALID_HA;
}

void Complete(SRB_ExecSCSICmd& r, uint8_t status, uint8_t haStat, uint8_t targStat) {
  r.SRB_HaStat = haStat;
  r.SRB_TargStat = targStat;
  r.SRB_Status = status;
}

void PutSense(SRB_ExecSCSICmd& r, uint8_t key, uint8_t asc, uint8_t ascq, uint8_t addLength, uint8_t responseCode) {
  r.SenseArea[0] = responseCode;
  r.SenseArea[2] = key;
  r.SenseArea[7] = addLength;
  r.SenseArea[12] = asc;
  r.SenseArea[13] = ascq;
}

} // namespace qnzb::test
