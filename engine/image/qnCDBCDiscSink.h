#pragma once
// The recorder as the writing thread's sink: the drive's set-up before the
// first block, WRITE (10) of every block at consecutive addresses with the
// retries a busy drive needs, the drive buffer's polling for the progress
// display, and the flush and closing of the track and session at the end.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/image/qnCDBCWriter.h"
#include "engine/runtime/Digest.h"

namespace qnzb {

class TQNZBurner;

class TDiscSink final : public TWriteSink {
public:
  // ImageFile: an image file is burnt, from sector 0 and without the
  // descriptor rewrite of overwritable media.
  // `owner` names what a sector holds, for the verify's report.
  TDiscSink(TQNZBurner& burner, bool imageFile, std::function<std::string(uint32_t lba)> owner);

  // The track set-up: load, speeds, write parameters, reservation, OPC.
  bool Start(std::string& message) override;
  bool Write(const uint8_t* data, int32_t length, std::string& message) override;
  // Flush, close the track and session as the medium needs, reset the drive.
  bool Finish(std::string& message) override;
  // Flush only: an aborted or failed session is left open.
  void Fail() override;
  // Reads back every sector sent (unless Verify is off or it was a test
  // write) and compares it with the check value kept while writing.
  bool Verify(std::string& message) override;

private:
  bool WriteAt(uint32_t lba, const uint8_t* data, int32_t length, std::string& message);
  // Keeps the check values (and the session's digest) of sectors sent.
  void Note(std::vector<uint32_t>& checks, const uint8_t* data, int32_t length, bool session);
  // Reads `checks.size()` sectors from `first` and compares them; false
  // when the job must end at once (abort, the drive gone).
  bool ReadBack(uint32_t first, const std::vector<uint32_t>& checks, uint32_t skipFrom, std::string& message);
  // One WRITE at the next address; the sectors count as written.
  bool WriteNext(const uint8_t* data, int32_t length, std::string& message);
  // How long to wait before a busy drive is sent the block again.
  uint32_t BusyPause(int32_t length);
  bool RewriteDescriptors(int32_t length, std::string& message);
  // After a refused WRITE: formats a DVD+RW that was never formatted, once
  // per job. True when the WRITE should be tried again.
  bool FormatOnDemand();
  void Flush();
  void Close();
  void CloseCdSession();

  TQNZBurner& burner_;
  const bool imageFile_;
  uint8_t kind_ = 0;
  bool pollingOn_ = false;
  int32_t pollCountdown_ = 5;
  int32_t retries_ = 0;
  uint64_t busyMs_ = 0;   // paused for the current block
  uint16_t speed_ = 0;    // KB/s the drive writes at, i.e. bytes per ms
  uint32_t sessionNumber_ = 1;
  uint32_t sectorsWritten_ = 0;
  bool firstBlock_ = true;
  bool formatTried_ = false;
  // A DVD's 32-sector WRITEs are assembled here from the cache's blocks,
  // which may be short where the data ends and the padding starts; the last
  // one is sent with zeros after its data.
  std::vector<uint8_t> buffer_;
  int32_t pending_ = 0;  // bytes in buffer_ not yet written

  // What the verify compares with: a check value per sector sent at
  // SessionStart on, and per descriptor sector rewritten at sector 0.
  std::function<std::string(uint32_t)> owner_;
  std::vector<uint32_t> sessionChecks_;
  std::vector<uint32_t> descriptorChecks_;
  TSha256 sent_;
  TSha256 read_;
  int64_t digestSectors_ = 0;  // sectors of the session the digests cover so far
  // The verify's findings.
  struct TBadSector {
    uint32_t Lba = 0;
    bool Unreadable = false;
    std::string Reason;
  };
  std::vector<TBadSector> bad_;
  uint32_t unreadableRun_ = 0;
};

// Formats a DVD-RW for writing (quick format of a sequential disc, quick
// grow of a restricted overwrite one) and waits for the background format.
void PrepareRewritableDvd(TQNZBurner& burner, uint8_t kind);

} // namespace qnzb
