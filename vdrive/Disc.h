#pragma once
// The loaded disc: its recording structure and the rules a recorder enforces
// on it. Sequentially recorded media (CD-R, CD-RW, DVD-R, DVD-RW in
// sequential mode, DVD+R) hold sessions of tracks, each track with a start, a
// size and a next writable address, and an invisible track where the next
// track will start. Overwritable media (DVD+RW, DVD-RAM, DVD-RW in restricted
// overwrite mode) hold one formatted area written at any address.
//
// The disc knows addresses only; the recorded bytes live in a BlockStore.
// Operations return a Refusal: empty when the operation was done, else the
// sense a drive answers with, and then the disc is unchanged. Not thread-safe:
// the recorder serialises access.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/device/ScsiSense.h"
#include "vdrive/Media.h"

namespace qnzb::vdrive {

using Refusal = std::optional<SenseCode>;

// The gaps a closed CD session leaves before the next track: lead-out (6750
// blocks after the first session, 2250 after later ones), the next session's
// lead-in and the pre-gap of its first track. A further track of the same
// session also starts after a pre-gap.
inline constexpr uint32_t CdFirstLeadOut = 6'750;
inline constexpr uint32_t CdLaterLeadOut = 2'250;
inline constexpr uint32_t CdLeadIn = 4'500;
inline constexpr uint32_t CdPreGap = 150;
// Our model of the border-out/lead-out plus lead-in a closed DVD-R/-RW or DVD+R
// session takes (after the track end rounded up to an ECC block).
inline constexpr uint32_t DvdFirstSessionGap = 30'720;
inline constexpr uint32_t DvdLaterSessionGap = 6'144;
// A CD track is at least 4 seconds long; shorter ones are padded on closing.
inline constexpr uint32_t CdMinimumTrack = 300;
// DVD recording unit: an ECC block of 16 sectors.
inline constexpr uint32_t DvdEccBlock = 16;
inline constexpr uint32_t MaxTracks = 99;

// The mode page 05h fields that govern a write.
struct WriteMode {
  uint8_t WriteType = 1;  // 0 packet/incremental, 1 track-at-once, 2 session/disc-at-once, 3 raw
  bool TestWrite = false;
  uint8_t MultiSession = 0;  // 00b: no next session, 01b: none either, 11b: next session allowed
  bool FixedPacket = false;
  uint8_t DataBlockType = 8;
};

struct Track {
  uint32_t Number = 0;
  uint32_t Session = 0;
  uint32_t Start = 0;
  uint32_t Size = 0;       // reserved size, or the recorded length once closed
  uint32_t Recorded = 0;   // blocks recorded from Start
  bool Reserved = false;   // its size was fixed by RESERVE TRACK
  bool Closed = false;
  bool Incremental = false;  // written in incremental (packet) mode
};

// READ DISC INFORMATION disc status and state of the last session.
enum class DiscStatus : uint8_t { Empty = 0, Incomplete = 1, Complete = 2, Other = 3 };
enum class SessionState : uint8_t { Empty = 0, Incomplete = 1, Complete = 3 };

// What READ TRACK INFORMATION reports about one track, the invisible one
// included.
struct TrackView {
  Track Info;
  bool Invisible = false;  // the blank track after the last one
  bool Blank = false;
  bool NwaValid = false;
  uint32_t NextWritable = 0;
  uint32_t FreeBlocks = 0;
  uint32_t TrackSize = 0;
  bool LraValid = false;
  uint32_t LastRecorded = 0;
};

class Disc {
public:
  Disc() = default;
  // A new disc of `kind` as it comes from the box: blank; DVD+RW and DVD-RW
  // optionally formatted (DVD-RW then in restricted overwrite mode), DVD-RAM
  // always formatted. `capacity` 0 takes the kind's nominal capacity.
  static Disc New(MediumKind kind, uint32_t capacity = 0, bool formatted = false, bool restricted = false);

  [[nodiscard]] MediumKind Kind() const { return kind_; }
  [[nodiscard]] bool Present() const { return kind_ != MediumKind::None; }
  [[nodiscard]] uint32_t Capacity() const { return capacity_; }
  [[nodiscard]] uint16_t Profile() const;
  [[nodiscard]] bool IsCd() const { return Traits(kind_).Cd; }
  // Recorded in sessions and tracks (as opposed to overwritable).
  [[nodiscard]] bool Sequential() const;
  [[nodiscard]] bool Restricted() const { return restricted_; }
  [[nodiscard]] bool Formatted() const { return formatted_; }
  [[nodiscard]] uint32_t FormattedBlocks() const { return formattedBlocks_; }
  [[nodiscard]] bool Intermediate() const { return intermediate_; }
  [[nodiscard]] bool Finalized() const { return finalized_; }
  [[nodiscard]] uint32_t ClosedSessions() const { return closedSessions_; }
  [[nodiscard]] uint32_t NextStart() const { return nextStart_; }
  [[nodiscard]] const std::vector<Track>& Tracks() const { return tracks_; }
  [[nodiscard]] const std::string& TimeStamp() const { return timeStamp_; }
  void SetTimeStamp(std::string stamp) { timeStamp_ = std::move(stamp); }

  // READ DISC INFORMATION view.
  [[nodiscard]] DiscStatus Status() const;
  [[nodiscard]] SessionState LastSessionState() const;
  [[nodiscard]] uint32_t SessionCount() const;  // the open or empty last session included
  [[nodiscard]] uint32_t FirstTrackInLastSession() const;
  [[nodiscard]] uint32_t LastTrackInLastSession() const;
  // Tracks by number, the invisible track (number LastTrackInLastSession())
  // included; empty for numbers that don't exist.
  [[nodiscard]] std::optional<TrackView> TrackInfo(uint32_t number) const;
  [[nodiscard]] std::optional<TrackView> TrackAt(uint32_t lba) const;
  [[nodiscard]] std::optional<TrackView> InvisibleTrack() const;
  // The number of the first track of `session`, if that session exists.
  [[nodiscard]] std::optional<uint32_t> FirstTrackOfSession(uint32_t session) const;
  // One past the last recorded block (READ CAPACITY reports this - 1).
  [[nodiscard]] uint32_t RecordedEnd() const;

  // Whether blocks [lba, lba + count) can be read; on refusal `firstBad` is
  // the first block that can't.
  [[nodiscard]] Refusal CheckRead(uint32_t lba, uint32_t count, uint32_t& firstBad) const;
  // Whether a WRITE of `count` blocks at `lba` is accepted with `mode`.
  [[nodiscard]] Refusal CheckWrite(uint32_t lba, uint32_t count, const WriteMode& mode) const;
  // Records a write CheckWrite accepted.
  void CommitWrite(uint32_t lba, uint32_t count, const WriteMode& mode);

  // RESERVE TRACK on the invisible track; `size` returns the reserved size
  // (rounded up as the medium needs).
  [[nodiscard]] Refusal Reserve(uint32_t blocks, uint32_t& size);
  // CLOSE TRACK of track `number` (FFh on CD and DVD+R: the open track).
  [[nodiscard]] Refusal CloseTrack(uint32_t number);
  // CLOSE SESSION: closes the open session's tracks, then the session;
  // `finalize` closes the disc for good.
  [[nodiscard]] Refusal CloseSession(bool finalize);
  // DVD+R finalization: closes the open session (if any) and the disc.
  [[nodiscard]] Refusal Finalize();
  // Ends a DVD-RW's intermediate state (CLOSE SESSION on restricted overwrite).
  void EndIntermediate() { intermediate_ = false; }

  // BLANK (full or minimal: the disc becomes blank; DVD-RW returns to
  // sequential recording).
  [[nodiscard]] Refusal Blank();
  // FORMAT UNIT with one format descriptor. `erases` returns whether the
  // recorded data is gone.
  [[nodiscard]] Refusal Format(uint8_t formatType, uint32_t blocks, bool& erases);

  // Rebuilds a disc from persisted fields; empty with `error` set when they
  // contradict each other. A next track start or open tracks beyond the
  // capacity are mended first.
  struct Fields {
    MediumKind Kind = MediumKind::None;
    uint32_t Capacity = 0;
    std::vector<Track> Tracks;
    uint32_t ClosedSessions = 0;
    bool Finalized = false;
    uint32_t NextStart = 0;
    bool Restricted = false;
    bool Formatted = false;
    uint32_t FormattedBlocks = 0;
    bool Intermediate = false;
    std::string TimeStamp;
  };
  [[nodiscard]] Fields ToFields() const;
  [[nodiscard]] static std::optional<Disc> FromFields(const Fields& fields, std::string& error);

private:
  [[nodiscard]] bool HasOpenTrack() const;       // incomplete, unreserved last track
  [[nodiscard]] uint32_t OpenSession() const { return closedSessions_ + 1; }
  [[nodiscard]] bool OpenSessionHasTracks() const;
  [[nodiscard]] uint32_t TrackEnd(const Track& t) const { return t.Start + (t.Closed || t.Reserved ? t.Size : t.Recorded); }
  [[nodiscard]] uint32_t StartAfter(uint32_t end) const;       // next track start in the same session
  [[nodiscard]] TrackView View(const Track& t) const;
  [[nodiscard]] Refusal CheckSequentialWrite(uint32_t lba, uint32_t count, const WriteMode& mode) const;
  [[nodiscard]] Refusal CheckOverwrite(uint32_t lba, uint32_t count) const;
  [[nodiscard]] Refusal CloseOne(Track& t);
  void CloseOpenSession(bool finalize);

  MediumKind kind_ = MediumKind::None;
  uint32_t capacity_ = 0;
  std::vector<Track> tracks_;
  uint32_t closedSessions_ = 0;
  bool finalized_ = false;
  uint32_t nextStart_ = 0;
  bool restricted_ = false;
  bool formatted_ = false;
  uint32_t formattedBlocks_ = 0;
  bool intermediate_ = false;
  std::string timeStamp_;
};

} // namespace qnzb::vdrive
