#pragma once
// The burner component: the one engine object the front ends drive. It adds to
// the device component everything that turns a compilation of local files into
// a disc: the layout tree and its operations, and the settings of the image
// builder, the recording engine and the drive commands as published
// properties.
//
// Threading: every operation here runs on the thread that owns the component.
// The layout is program-wide (shared by every instance) and must not change
// while a job runs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBCWriter.h"
#include "engine/image/qnISOLib.h"
#include "engine/runtime/DateTime.h"
#include "platform/FileFind.h"

namespace qnzb {

class TQNZBurner;
class TCacheThread;

// (Sender, FullPath, LongFileName, ShortFileName, DateTime, Attr, FileSize, Skip):
// fired before an entry is added; the handler may change the names, the date
// and Skip.
using TAddFileEvent = std::function<void(TObject* Sender, const std::string& FullPath,
                                         std::string& LongFileName, std::string& ShortFileName,
                                         TDateTime& DateTime, int32_t Attr, int64_t FileSize, bool& Skip)>;
// (Sender, LongName, ShortName, Skip): fired before a sub-folder is added; the
// handler may rename the folder or leave it (and all below it) out.
using TAddDirEvent = std::function<void(TObject* Sender, std::string& LongName, std::string& ShortName, bool& Skip)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
// (Sender, Error): a job ended; Error is empty on success, else upper-case text.
using TWriteDoneEvent = std::function<void(TObject* Sender, const std::string& Error)>;

// A listing record made up for a directory that has no local source.
using TListing = platform::TListing;

class TQNZBurner : public TSCSIDevice {
public:
  explicit TQNZBurner(TComponent* owner);
  ~TQNZBurner() override;

  // ---- Published properties ----
  bool UnderrunProtection = true;
  bool TestWrite = false;
  bool ReplaceFile = false;      // adding a name that exists replaces the entry in place
  bool FinalizeTrack = true;
  bool PerformOPC = false;
  bool JolietFileSystem = true;  // add the Joliet tree
  bool WritePostGap = true;
  // After a burn, read back every sector it wrote and compare it with what
  // was sent ("Verify" in the settings file).
  bool Verify = true;
  // FinalizeDisc, DeviceBufferSize, DeviceFreeBufferSize, ReadSpeed and
  // WriteSpeed (with its setter) are the device component's: its write
  // parameters and capabilities use them.
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  TDateTime DateCreation = 0, DateModification = 0, DateEffective = 0, DateExpiration = 0;
  std::string ISOFileName;  // target of a cached image build

  [[nodiscard]] int32_t CacheSize() const { return cacheSize_; }
  // Below 2,097,152 becomes 2,097,152; otherwise rounded down to a multiple of 2048.
  void SetCacheSize(int32_t value);
  [[nodiscard]] const std::string& Version() const { return version_; }
  // The version is fixed: whatever is given, it stays "1.21".
  void SetVersion(const std::string& value);

  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  TNotifyEvent OnFinalizingTrack;
  TWriteDoneEvent OnWriteDone;

  // ---- Public state ----
  bool Bootable = false;         // build an El Torito bootable image
  std::string BootImage;         // path of the boot image file
  int16_t SessionToImport = 0;   // 0 none, -1 the last, else its number
  bool SessionImported = false;
  bool LastFolderOnly = false;   // placing by source path keeps only the last folder
  bool Appending = false;
  int64_t TotalBytes = 0;        // sector-rounded sizes of the added local files
  TFEntry* LastEntry = nullptr;  // the entry added last (nullptr once removed)
  bool LayoutReady = false;      // false after any addition
  // The encoded metadata of the last layout: 2048-byte sectors.
  std::vector<uint8_t> MetadataStream;
  // The system area and volume descriptors of the last metadata build, in a
  // 65,537-byte block filled with FFh after DescriptorCopyLength bytes.
  std::vector<uint8_t> DescriptorCopy;
  int32_t DescriptorCopyLength = 0;
  // The text the last job passed to OnWriteDone.
  std::string WriteDoneMessage;

  // Address plan of the last layout.
  uint32_t SessionStart = 0;
  uint32_t IsoPathTableL = 0, IsoPathTableM = 0, JolietPathTableL = 0, JolietPathTableM = 0;
  int32_t IsoPathTableSize = 0, JolietPathTableSize = 0;
  uint32_t IsoDirStart = 0, JolietDirStart = 0;
  int32_t IsoDirBytes = 0, JolietDirBytes = 0;
  uint32_t BootCatalogSector = 0, BootImageSector = 0;
  int32_t BootImageSectors = 0;
  uint32_t FirstFileSector = 0;
  int64_t PaddingSectors = 0, FileSectors = 0, ImageEnd = 0, ImageLength = 0;

  // The root of the program-wide layout.
  [[nodiscard]] TDEntry* RootDir() const { return Layout.Root(); }

  // ---- Image layout and metadata ----
  // Plans the session: sorts the directories into path table order and gives
  // every descriptor, path table, directory extent, boot item and file its
  // sector. ImageOnly: an image-file build, which always starts at sector 0.
  // Turns Bootable off when BootImage names no existing file. Always true.
  bool PrepareImage(bool ImageOnly, TDEntry* ImportInto);
  // Sectors to write: ImageLength, but at least 300 with WritePostGap.
  [[nodiscard]] int64_t TrackLength() const;
  // Encodes the metadata of the planned session into MetadataStream (and the
  // descriptors into DescriptorCopy). Requires a fresh PrepareImage. Throws
  // EImageError when a value does not fit its on-disc field; the stream is
  // then incomplete and must not be written. True otherwise.
  // `deferDirectories`: the directory extents are left out of the stream,
  // for EncodeDirectoryExtent to give them one at a time at
  // DirectoryExtentsAt() while the job streams (a tree of many files would
  // otherwise hold all of them in memory at once).
  bool BuildMetadata(bool ImageOnly, TDEntry* ImportInto, bool deferDirectories = false);
  // The directory extents of the last BuildMetadata: ISO tree then Joliet
  // tree, each in DirTable order. Appends extent `index` to `out`; throws
  // EImageError as BuildMetadata does. The layout must not change between.
  [[nodiscard]] size_t DirectoryExtentCount() const;
  void EncodeDirectoryExtent(size_t index, std::vector<uint8_t>& out) const;
  // Where in MetadataStream the directory extents begin.
  [[nodiscard]] size_t DirectoryExtentsAt() const { return directoryExtentsAt_; }

  // Builds the compilation into the image file FileName.
  // QuickMode: on the calling thread; returns 1 when the file is complete
  // and OnWriteDone was fired with an empty text. A failure throws
  // (EFOpenError when the target can't be created, EImageError otherwise).
  // Cached mode: through the read-ahead cache and the writing thread, like a
  // burn; blocks until the cache's pre-fill is done, then returns -1. The
  // job ends with exactly one OnWriteDone on the main thread (the caller
  // must run TThread::CheckSynchronize), also when it failed before the
  // writing thread started. Either way a failed build leaves no file behind
  // and an existing file of that name is only replaced by a complete image.
  // Refused (-1, a log line, no event) while another job runs.
  int32_t BuildImageFile(const std::string& FileName, bool QuickMode);

  // ---- Burning ----
  // Both burns are refused with OnWriteDone("WRITER ERROR [" + the reason +
  // "]") before anything is sent when the drive can't be written
  // (DriveWritable), and with the text of CheckDiscMedium or
  // CheckDiscTakesSession before anything is written when the disc can't
  // take the burn. A write that fails because the transport did (no write
  // access, the drive gone, no answer in time) ends the job at once: only a
  // drive that says it is busy or not ready is tried again.
  // Burns the compilation to the loaded disc as a new session (after the
  // last one when the disc has room for more; the earlier session named by
  // SessionToImport read back first). Sources that can no longer be opened
  // are left out first (LeaveOutUnreadableSources). Blocks until the cache's pre-fill is
  // done. True when the writing thread started; false when the job failed
  // before, after OnWriteDone, or (without an event, a log line) while
  // another job runs.
  bool StartBurn();
  // Burns an existing image file to the disc from sector 0, byte for byte.
  // True when the writing thread started; false after OnWriteDone when the
  // file can't be opened or the cache failed.
  bool BurnImageFile(const std::string& FileName);
  // The checks both burns make before anything is written, for front ends
  // to make before they ask for one. Each returns empty when the burn may go
  // on, else what stands in the way and what to do (upper case).
  // The medium: a disc is in and ready (an open tray is closed first), the
  // drive writes its kind, it is not closed, a test write is one the medium
  // and the drive have (DVD+R, DVD+RW, DVD-RAM and restricted overwrite
  // DVD-RW have none: the drive would record), and for an image file, which
  // goes to the disc from sector 0, the disc is blank or overwritable.
  [[nodiscard]] std::string CheckDiscMedium(bool ImageFile);
  // Room: TrackLength sectors as the writer sends them (whole 32-sector
  // blocks on DVD; on CD at least 300 sectors and the two run-out blocks of
  // the track) against the free space after SessionStart (an image file:
  // from sector 0). Run after the layout of the burn or after ImageLength
  // was set from the image file.
  [[nodiscard]] std::string CheckDiscTakesSession(bool ImageFile);
  // Opens every local source of the layout once (nothing is read): a file
  // that can no longer be opened is taken out of the layout and counted in
  // LeftOut, as an unreadable file is when it is added. The count left out.
  int32_t LeaveOutUnreadableSources();
  // True while a burn reads its session back; BytesWritten then counts the
  // bytes compared, a second pass over TrackLength.
  [[nodiscard]] bool Verifying() const { return verifying_.load(); }
  // SHA-256 (hex) of the last burn's session as sent: its ImageLength
  // sectors from SessionStart; empty until a burn has sent all of them.
  std::string SessionDigest;
  // What a sector of the session just laid out holds: "FILE \A\B.TXT",
  // "DIRECTORY \A", "PATH TABLE", "VOLUME DESCRIPTOR", "BOOT CATALOG",
  // "BOOT IMAGE"; empty for padding and sectors outside the session.
  [[nodiscard]] std::string LayoutSectorOwner(uint32_t Lba);
  // The lowest fill of the drive's buffer (percent) the running or last burn
  // saw once the buffer had filled up; -1 when it never did.
  std::atomic<int32_t> LowestBufferFill = -1;
  // Counts a buffer reading of the running burn into LowestBufferFill.
  void NoteBufferFill();

  // ---- Running jobs ----
  // Asks the running job to stop; safe from any thread.
  void AbortWrite();
  // Bytes handed to the sink by the running job; safe from any thread.
  [[nodiscard]] int64_t BytesWritten() const { return bytesWritten_.load(); }
  // The cache's fill in percent; 0 when no job runs.
  [[nodiscard]] int32_t CacheFill() const;
  // True from the start of a job until its OnWriteDone has returned.
  [[nodiscard]] bool JobActive() const { return writerActive_.load(); }
  // The source file the running job reads; safe from any thread.
  [[nodiscard]] std::string CurrentFile() const;
  void SetCurrentFile(const std::string& file);

  // ---- Layout tree ----
  // An item of the local file system that an add could not put into the
  // layout: its source path and why (upper case).
  struct TLeftOut {
    std::string Path;
    std::string Reason;
  };
  // Everything the adds since the last ResetLayout left out, in the order it
  // happened; each is also logged (type 4) as REASON, NOT ADDED: PATH. Files
  // the OnAddFile or OnAddDir handler skipped and files of the archive-only
  // rule are not counted: they were not asked for.
  std::vector<TLeftOut> LeftOut;
  // "N FILE(S) LEFT OUT"; empty when nothing was.
  [[nodiscard]] std::string LeftOutSummary() const;

  // Empties the layout (root only) with room for the given entries and
  // directories; reads the time zone; forgets LeftOut. Always true.
  bool ResetLayout(int32_t MaxFiles, int32_t MaxDirs);
  [[nodiscard]] int32_t DirectoryCount() const { return Layout.DirCount() - 1; }
  [[nodiscard]] int32_t EntryCount() const { return Layout.FileCount(); }
  [[nodiscard]] TDEntry* FindDirectory(const std::string& Path) const { return Layout.FindDirectory(Path); }
  [[nodiscard]] TFEntry* FindEntry(const TDEntry* Dir, const std::string& LongName) const {
    return Layout.FindEntry(Dir, LongName);
  }
  // The directory of a layout path, created with its parents when missing.
  // nullptr for a path ending in "\" (its directories are still created).
  TDEntry* ForceDirectory(const std::string& Path);
  // A sub-directory made from a name alone (no local folder behind it).
  TDEntry* AddDirByName(TDEntry* Parent, const std::string& DirName, int32_t Attr);
  // Adds one sub-directory from a listing, under its name as the disc can
  // carry it (DiscName); an existing one of the same path is returned as it
  // is (folders merge). nullptr when a table is full, the tree would get too
  // deep, or a file of that name is in Parent.
  TDEntry* AddDirEntry(TDEntry* Parent, const TListing& Listing);
  // Adds one file (or imported entry when Extent is not 0) under its name as
  // the disc can carry it (DiscName; a changed name is logged): 1 added or
  // replaced, 0 not added. A local file (FullPath not empty) that is not
  // added for any reason but the handler's Skip is counted in LeftOut, except
  // a second add of the same file and an earlier session's file of the same
  // name, size and date.
  int32_t AddFileEntry(TDEntry* Dir, const TListing& Listing, const std::string& FullPath, uint32_t Extent,
                       bool ArchiveOnly);
  // 1 when the file was found and offered, -1 not found, 0 no destination.
  int32_t AddFile(const std::string& DestPath, const std::string& SourceFile, bool PlaceByPath);
  // Adds a local folder's contents under Dest; the result of its last step.
  // Whatever one item does (refused, unreadable, a broken link, a folder
  // that can't be listed), the walk goes on with the next: every item not
  // added is in LeftOut.
  int32_t AddFolder(TDEntry* Dest, const std::string& SourcePath, const std::string& Mask, int32_t AttrMask,
                    bool Recursive, bool PlaceByPath, bool ArchiveOnly);
  // Always true.
  bool RemoveEntry(TDEntry* Dir, TFEntry* Entry);
  bool RemoveByName(const std::string& DirPath, const std::string& LongName);
  // False for the root. Sets Dir to nullptr when it removed it.
  bool RemoveDirectory(TDEntry*& Dir);
  bool RemoveEmptyDirectories();
  // Total size of a local folder ("…/" ) with its sub-folders, or of the
  // files a path or pattern names.
  [[nodiscard]] int64_t FolderSize(const std::string& Path) const;
  // Clears the archive bit of every source added under the archive-only rule.
  bool ClearArchiveBits();

  // Reads the file system of a session of the loaded disc back into the
  // layout under Into (nullptr: the root): directories as directory nodes,
  // files as Imported entries pointing at their old data. Session counts
  // from 1; a negative number or one past the last session takes the last.
  // The Joliet tree (a supplementary descriptor that names UCS-2) is
  // preferred, the ISO tree the fallback. A damaged tree is imported as far
  // as it is sound, every part left out logged (type 4). Names are made
  // safe as they are read ("/", "\" and control characters become "_", a
  // name of full stops only as many "_"), each change logged (type 4).
  // True when a directory tree was found and read.
  bool ImportPreviousSession(int8_t Session, TDEntry* Into);
  // Copies an imported file's data from the disc to TargetFile, replacing a
  // file of that name only once the copy is complete, and gives it the
  // entry's date. False, with a log line (type 4) and nothing left at a
  // TargetFile that didn't exist, when the entry is not a file of the disc,
  // TargetFile exists and is not a regular file, a read, the creation or a
  // write fails, or AbortRequested is set (checked before every read; the
  // caller clears it before a run of extractions).
  bool ExtractFile(TFEntry* Entry, const std::string& TargetFile);

  // The layout folder path a local source folder is placed at: drive letter,
  // or server and share, dropped; "/" turned into "\". Keeps a trailing "\".
  [[nodiscard]] static std::string LayoutPathOf(const std::string& sourceFolder);
  // Only the last folder of a layout path ("\data\photos\" gives "\photos\").
  [[nodiscard]] static std::string LastFolderOf(const std::string& layoutPath);

private:
  void NoteLeftOut(const std::string& path, const std::string& reason, bool log = true);
  // Logs that `given` goes on the disc as `name` (nothing when they are equal).
  void LogDiscName(const std::string& given, const std::string& name, bool isFile, const std::string& where);
  // AddDirEntry, telling why nothing was added.
  TDEntry* AddDirEntryWhy(TDEntry* Parent, const TListing& Listing, std::string& why);
  // Whether the local file FullPath of `size` and date `when` is the file
  // `existing` already holds, so that adding it again loses nothing.
  static bool SameFile(const TFEntry& existing, const std::string& FullPath, int64_t size, TDateTime when);
  TDEntry* NewDirectoryLogged(TDEntry* parent, const std::string& longName, const std::string& what);
  TFEntry* NewEntryLogged(TDEntry* dir, const std::string& longName);
  friend class TThWrite;
  friend class TDiscSink;
  void Forget(TFEntry* entry);
  void BuildQuickImage(const std::string& fileName);
  int32_t BuildCachedImage(const std::string& fileName);
  // Starts the read-ahead cache for the planned session (or for `imageFile`
  // alone) and waits for its pre-fill; false, after OnWriteDone, when the
  // reader failed first.
  // `copyLargeFiles`: the sink is a file the kernel copies large files into.
  bool StartCache(int32_t blockSize, const std::string& imageFile, int64_t imageFileBytes,
                  bool copyLargeFiles = false);
  // Starts the writing thread with `sink` over the running cache.
  bool StartWriter(std::unique_ptr<TWriteSink> sink);
  void ReportBeforeStart(const std::string& message);
  // A disc write's preparation of the layout: the medium's kind, where the
  // new session starts, and the import of an earlier session.
  void PrepareDisc(TDEntry* importInto);
  // SessionStart from the drive; false when it could not be learnt.
  bool QuerySessionStart();
  // False (logged, or reported through OnWriteDone) while a job or an erase
  // runs; otherwise resets the burn's buffer statistics.
  bool BurnMayStart();
  bool bufferFilled_ = false;  // LowestBufferFill counts from here on

  // The arguments of the last BuildMetadata, handed to the next PrepareImage of a job.
  bool lastImageOnly_ = true;
  TDateTime metadataTime_ = 0;    // the "." records' date
  size_t directoryExtentsAt_ = 0;
  bool deferredDirectories_ = false;  // the last BuildMetadata left them to the cache
  int64_t bootImageBytes_ = 0;  // the boot image's size when the session was planned
  TDEntry* lastImportInto_ = nullptr;

  std::unique_ptr<TCacheThread> cache_;
  std::atomic<int64_t> bytesWritten_{0};
  std::atomic<bool> writerActive_{false};
  std::atomic<bool> verifying_{false};
  // LayoutSectorOwner's index of extents, built on first use after a layout.
  struct TOwnedExtent {
    uint32_t Start = 0, End = 0;  // [Start, End)
    const TDEntry* Dir = nullptr;
    const TFEntry* File = nullptr;
  };
  std::vector<TOwnedExtent> ownerIndex_;
  std::string currentFile_;
  int32_t cacheSize_ = 0;
  std::string version_ = "1.21";
};

} // namespace qnzb
