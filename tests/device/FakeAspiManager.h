#pragma once
// A stand-in ASPI manager installed into the process-wide transport for the
// lifetime of a test. Every SC_EXEC_SCSI_CMD is recorded (the block as it
// reached the manager, the bytes of a data-out buffer, the clock's time) and
// handed to Respond, which completes it or leaves it pending. Host adapter
// queries go to HostAdapter; without it they are refused, so a component
// built while it is installed lists no device.

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/device/AspiTypes.h"
#include "engine/device/Transport.h"

namespace qnzb::test {

class TFakeAspiManager {
public:
  struct TSent {
    SRB_ExecSCSICmd Block;
    std::vector<uint8_t> DataOut;
    uint64_t SentAt = 0;
    const void* Address = nullptr;  // the request the manager was handed
  };
  struct TAbort {
    SRB_Abort Block;
    uint64_t At = 0;
  };

  TFakeAspiManager();
  ~TFakeAspiManager();
  TFakeAspiManager(const TFakeAspiManager&) = delete;
  TFakeAspiManager& operator=(const TFakeAspiManager&) = delete;

  // Completes a request: sets what the manager reports. Default: status 1.
  std::function<void(SRB_ExecSCSICmd&)> Respond = [](SRB_ExecSCSICmd& r) { r.SRB_Status = SS_COMP; };
  // Respond completes requests on threads of its own: the manager answers
  // SS_PENDING and never reads the request again (the thread signals).
  bool Asynchronous = false;
  // Answers SC_HA_INQUIRY (sets SRB_Status and HA_Count); empty: refused.
  std::function<void(SRB_HAInquiry&)> HostAdapter;
  // What an SC_ABORT_SRB answers: SS_COMP takes the request back; anything
  // else refuses, as a manager does for a request already running.
  uint8_t AbortAnswer = SS_COMP;

  std::vector<TSent> Sent;
  std::vector<TAbort> Aborts;

private:
  static uint32_t Dispatch(void* request);
  TTransportState saved_;
};

// Fills a request's outcome: status, host and target status and, when Key is
// given, fixed-format sense data with the additional sense length AddLength.
void Complete(SRB_ExecSCSICmd& r, uint8_t status, uint8_t haStat = 0, uint8_t targStat = 0);
void PutSense(SRB_ExecSCSICmd& r, uint8_t key, uint8_t asc, uint8_t ascq, uint8_t addLength = 10,
              uint8_t responseCode = 0x70);

} // namespace qnzb::test
