#pragma once
// Reading a disc back: the whole readable disc or one session copied into an
// image file, and an image file compared with the disc sector by sector,
// each difference named by what owns the sector (SectorOwner.h). Both front
// ends and a burn's own verify use these; they only read.
//
// A read that fails is tried again, then sector by sector, so that a failure
// names the one sector that can't be read, as a drive reader does.
//
// Threading: on the thread that owns the device; Progress is called on it.
// Abort may be set from any thread (a signal handler too) and is obeyed
// between reads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qnzb {

class TSCSIDevice;

struct TDiscExtent {
  uint32_t Start = 0;
  uint32_t Sectors = 0;
};

// The sectors a read-back covers: Sectors from Start. Only those in Tracks
// (sorted, disjoint, inside the area) are recorded; the rest is what closing
// a session leaves before the next one's track, which no drive reads: an
// image of the whole disc holds zeros there, so that every later session's
// addresses stay right.
struct TDiscArea {
  uint32_t Start = 0;
  uint32_t Sectors = 0;
  std::vector<TDiscExtent> Tracks;
};

// Session 0: the whole readable disc, sector 0 to the end of the last
// complete session's track. Else session Session's track, start to end. A
// disc that keeps no sessions (DVD+RW, DVD-RAM, restricted overwrite DVD-RW)
// holds one file system from sector 0, which ends where its volume does:
// that is session 1 and the whole disc; for a compare (Use Verify) its whole
// formatted space, since an image written there may be longer than the
// volume it carries (image builds pad short images to 300 sectors). False,
// with Why (lower case, saying what to do), when the disc holds no complete
// session, there is no such session, or the drive can't tell where it lies.
enum class TAreaUse { Read, Verify };
[[nodiscard]] bool FindDiscArea(TSCSIDevice& Device, int Session, TAreaUse Use, TDiscArea& Area, std::string& Why);

// (SectorsDone, SectorsTotal) after every read.
using TReadBackProgress = std::function<void(uint32_t Done, uint32_t Total)>;

struct TReadBackResult {
  bool Ok = false;
  bool Aborted = false;
  // A sector could not be read, even alone and after retries: BadSector.
  bool ReadError = false;
  uint32_t BadSector = 0;
  // Empty when Ok; else why: "READ ERROR AT SECTOR n: " + the drive's sense
  // text, the image file's error (naming it as given), or the stop.
  std::string Error;
  std::string Sha256;  // 64 lower-case hex digits of the image, when Ok
  uint32_t Sectors = 0;
};

// Copies Area into the image file FileName (2048 bytes a sector, the area's
// first sector first). The file is written beside its target and takes its
// place only when complete: a failed or stopped copy leaves no file, and an
// existing file as it was (a target that is a folder or a device is refused).
[[nodiscard]] TReadBackResult ReadDiscToFile(TSCSIDevice& Device, const TDiscArea& Area, const std::string& FileName,
                                             const TReadBackProgress& Progress, const std::atomic<bool>& Abort);

struct TVerifyResult {
  // The image could not be compared at all (it can't be read): why, upper
  // case. Nothing else is set then.
  std::string Error;
  bool Aborted = false;
  bool Match = false;
  uint32_t Sectors = 0;  // the image's (a last partial sector counts)
  std::string Sha256;    // of the image file, when Match
  // The first difference: its disc address, the owner of that sector in the
  // image ("" when nothing owns it) and, when the disc did not simply hold
  // other bytes, why ("READ ERROR: " + sense text, "THE DISC ENDS AT
  // SECTOR n", "NOT RECORDED ON THE DISC").
  bool Differs = false;
  uint32_t FirstSector = 0;
  std::string FirstOwner;
  std::string Reason;
  // The owner text of every file with a sector that differs, once each, in
  // the order of their first difference.
  std::vector<std::string> Files;
  // When a sector that can't be read ended the comparison (after the first
  // difference or at it): "READ ERROR AT SECTOR n: " + the sense text; what
  // follows it was not compared.
  std::string EndedEarly;
};

// Compares the image file FileName with Area of the disc: image sector k
// with disc sector Area.Start + k, over the image's length. A sector of the
// area outside its Tracks holds nothing on the disc and must be zeros in the
// image; sectors past the area's end are not on the disc. After the first
// difference the comparison goes on to list every differing file; a sector
// that can't be read ends it there. The owners are found in the image file
// itself, its recorded addresses taken as disc addresses: a volume is looked
// for at the start of every track of the area (each session's file system),
// and a sector is named by the volume of its own track first, then by the
// others, newest first.
[[nodiscard]] TVerifyResult VerifyImageWithDisc(TSCSIDevice& Device, const std::string& FileName,
                                                const TDiscArea& Area, const TReadBackProgress& Progress,
                                                const std::atomic<bool>& Abort);

} // namespace qnzb
