// The burner component's address plan of a session and the encoding of its
// metadata: volume descriptors, path tables, directory extents, El Torito.

#include <algorithm>
#include <cstring>

#include "engine/device/qnConst.h"
#include "engine/image/IsoRecords.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"
#include "platform/System.h"

namespace qnzb {

namespace {

constexpr int32_t SectorSize = 2048;

std::string IsoEntryIdentifier(const TFEntry& e) { return IsoIdentifier(e); }

std::string JolietEntryIdentifier(const TFEntry& e) { return JolietIdentifier(e.LongName, !e.IsDirectory()); }

size_t IsoIdentifierBytes(const TFEntry& e) { return e.IsoName.size() + (e.IsDirectory() ? 0 : 2); }

size_t JolietIdentifierBytes(const TFEntry& e) { return 2 * JolietUnits(e.LongName, !e.IsDirectory()); }

// Bytes of one directory's extent: records never cross a sector boundary.
template <typename IdentifierBytes>
int64_t DirectoryExtentSize(const TDEntry& dir, IdentifierBytes identifierBytes) {
  int64_t used = 68;
  int64_t free = SectorSize - 68;
  for (const TFEntry* e = dir.FirstEntry; e; e = e->Next) {
    const int64_t length = RecordLength(identifierBytes(*e));
    if (length > free) {
      used += free + length;
      free = SectorSize - length;
    } else {
      used += length;
      free -= length;
    }
  }
  return used + free;
}

// Sizes every directory extent of one tree, in DirTable order, and gives each
// its sector relative to the tree's start; the total bytes.
int32_t SizeDirectories(uint32_t TDEntry::*sector, int64_t TDEntry::*size, size_t (*identifierBytes)(const TFEntry&)) {
  int64_t bytes = 0;
  for (TDEntry* d : Layout.DirTable) {
    d->*sector = static_cast<uint32_t>(bytes / SectorSize);
    d->*size = DirectoryExtentSize(*d, identifierBytes);
    bytes += d->*size;
  }
  return static_cast<int32_t>(std::min<int64_t>(bytes, INT32_MAX));
}

int32_t PathTableSize(bool joliet) {
  int64_t size = 10;
  for (size_t i = 1; i < Layout.IsoDirOrder.size(); ++i) {
    const TDEntry* d = Layout.IsoDirOrder[i];
    const size_t n = joliet ? 2 * platform::Utf16Length(d->LongName) : d->IsoName.size();
    size += PathRecordLength(n);
  }
  return static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
}

uint32_t SectorsOf(int64_t bytes) { return static_cast<uint32_t>(SectorCount(bytes)); }

} // namespace

bool TQNZBurner::PrepareImage(bool ImageOnly, TDEntry* ImportInto) {
  if (BootImage.empty() || !platform::FileExists(BootImage))
    Bootable = false;
  // The boot image's size is learnt now, before anything is planned, so
  // that one that can't be read turns Bootable off with the plan unchanged.
  if (Bootable) {
    try {
      TFileStreamEx boot(BootImage, fmEngineRead);
      bootImageBytes_ = boot.Size();
    } catch (const EFOpenError&) {
      SendDebugMessage(StatusPrefix + Format(msgBootImageUnreadable, BootImage.c_str()), mtError);
      Bootable = false;
    }
  }
  // The firmware loads the first 512 bytes: a smaller image would boot padding.
  if (Bootable && bootImageBytes_ < MinBootImageBytes)
    throw EImageError(Format(msgBootImageTooSmall, BootImage.c_str(), static_cast<long long>(bootImageBytes_),
                             static_cast<int>(MinBootImageBytes)));
  DoDebug = false;
  ownerIndex_.clear();
  SessionStart = 0;
  // A disc write prepares the disc here and may start later or import a
  // session; an image-file build always starts at sector 0.
  if (!ImageOnly)
    PrepareDisc(ImportInto);

  Layout.SortPathTableOrder();

  int64_t p = SessionStart + 16;  // the primary descriptor
  if (Bootable)
    ++p;
  if (JolietFileSystem)
    ++p;
  ++p;  // the terminator
  ++p;
  IsoPathTableL = static_cast<uint32_t>(p);
  IsoPathTableSize = PathTableSize(false);
  p += SectorsOf(IsoPathTableSize);
  IsoPathTableM = static_cast<uint32_t>(p);
  p += SectorsOf(IsoPathTableSize);
  JolietPathTableL = JolietPathTableM = 0;
  JolietPathTableSize = 0;
  if (JolietFileSystem) {
    JolietPathTableL = static_cast<uint32_t>(p);
    JolietPathTableSize = PathTableSize(true);
    p += SectorsOf(JolietPathTableSize);
    JolietPathTableM = static_cast<uint32_t>(p);
    p += SectorsOf(JolietPathTableSize);
  }

  IsoDirStart = static_cast<uint32_t>(p);
  IsoDirBytes = SizeDirectories(&TDEntry::IsoSector, &TDEntry::IsoSize, IsoIdentifierBytes);
  p += IsoDirBytes / SectorSize;
  JolietDirStart = 0;
  JolietDirBytes = 0;
  if (JolietFileSystem) {
    JolietDirStart = static_cast<uint32_t>(p);
    JolietDirBytes = SizeDirectories(&TDEntry::JolietSector, &TDEntry::JolietSize, JolietIdentifierBytes);
    p += JolietDirBytes / SectorSize;
  }

  BootCatalogSector = BootImageSector = 0;
  BootImageSectors = 0;
  if (Bootable) {
    BootCatalogSector = static_cast<uint32_t>(p);
    ++p;
    BootImageSector = static_cast<uint32_t>(p);
    BootImageSectors = static_cast<int32_t>(SectorCount(bootImageBytes_));
    p += BootImageSectors;
  }

  PaddingSectors = 150 - p;
  FirstFileSector = static_cast<uint32_t>(p < 150 ? 150 : p);

  FileSectors = 0;
  for (TFEntry* e : Layout.FileTable) {
    if (e->Imported)
      continue;
    if (e->Dir) {
      e->IsoExtent = e->Dir->IsoSector;
      e->JolietExtent = e->Dir->JolietSector;
      e->IsoSize = e->Dir->IsoSize;
      e->JolietSize = e->Dir->JolietSize;
    } else if (e->IsoSize == 0) {
      e->IsoExtent = e->JolietExtent = 0;
      e->JolietSize = 0;
    } else {
      e->JolietSize = e->IsoSize;
      e->IsoExtent = e->JolietExtent = static_cast<uint32_t>(FileSectors);
      FileSectors += SectorCount(e->IsoSize);
    }
  }
  ImageEnd = FirstFileSector + FileSectors;
  ImageLength = ImageEnd - SessionStart;
  return true;
}

int64_t TQNZBurner::TrackLength() const {
  return WritePostGap ? std::max<int64_t>(ImageLength, 300) : ImageLength;
}

namespace {

// One path table of one tree, zero-filled to whole sectors.
void AppendPathTable(TBytes& out, bool joliet, bool littleEndian, uint32_t dirStart) {
  TBytes table;
  for (size_t i = 0; i < Layout.IsoDirOrder.size(); ++i) {
    const TDEntry* d = i == 0 ? nullptr : (joliet ? Layout.JolietDirOrder[i] : Layout.IsoDirOrder[i]);
    if (!d) {
      AppendPathRecord(table, std::string(1, '\0'), dirStart, 1, littleEndian);
      continue;
    }
    const std::string id = joliet ? JolietIdentifier(d->LongName, false) : d->IsoName;
    const uint32_t sector = joliet ? d->JolietSector : d->IsoSector;
    AppendPathRecord(table, id, dirStart + sector, d->Parent->Number, littleEndian);
  }
  table.resize(static_cast<size_t>(SectorBytes(static_cast<int64_t>(table.size()))), 0);
  out.insert(out.end(), table.begin(), table.end());
}

} // namespace

size_t TQNZBurner::DirectoryExtentCount() const {
  return Layout.DirTable.size() * (JolietFileSystem ? 2 : 1);
}

void TQNZBurner::EncodeDirectoryExtent(size_t index, TBytes& out) const {
  const int16_t tz = Layout.TZOffset;
  const bool joliet = index >= Layout.DirTable.size();
  const TDEntry* d = Layout.DirTable[joliet ? index - Layout.DirTable.size() : index];
  const uint32_t start = joliet ? JolietDirStart : IsoDirStart;
  const size_t begin = out.size();
  TDirRecord self;
  self.Extent = start + (joliet ? d->JolietSector : d->IsoSector);
  self.DataLength = joliet ? d->JolietSize : d->IsoSize;
  self.Date = metadataTime_;
  self.Flags = 0x02;
  self.Identifier = std::string(1, '\0');
  AppendDirRecord(out, self, tz);
  TDirRecord parent = self;
  parent.Extent = start + (joliet ? d->Parent->JolietSector : d->Parent->IsoSector);
  parent.DataLength = joliet ? d->Parent->JolietSize : d->Parent->IsoSize;
  parent.Identifier = std::string(1, '\1');
  AppendDirRecord(out, parent, tz);
  int64_t free = SectorSize - 68;
  for (const TFEntry* e = d->FirstEntry; e; e = e->Next) {
    TDirRecord r;
    r.Identifier = joliet ? JolietEntryIdentifier(*e) : IsoEntryIdentifier(*e);
    if (e->IsDirectory())
      r.Extent = start + (joliet ? e->JolietExtent : e->IsoExtent);
    else if (e->Imported)
      r.Extent = joliet ? e->JolietExtent : e->IsoExtent;
    else if (e->IsoSize == 0)
      r.Extent = 0;
    else
      r.Extent = FirstFileSector + (joliet ? e->JolietExtent : e->IsoExtent);
    r.DataLength = joliet ? e->JolietSize : e->IsoSize;
    r.Date = e->DateTime;
    r.Flags = static_cast<uint8_t>((e->IsDirectory() ? 0x02 : 0) | ((e->Attr & 0x02) ? 0x01 : 0));
    const int length = RecordLength(r.Identifier.size());
    if (length > free) {
      out.resize(out.size() + static_cast<size_t>(free), 0);
      free = SectorSize;
    }
    try {
      AppendDirRecord(out, r, tz);
    } catch (const EImageError& error) {
      // The user must learn which entry the disc can't describe.
      throw EImageError(std::string(error.what()) + ": " +
                        (!e->HasSource() ? d->Path + "\\" + e->LongName : e->SourcePath()));
    }
    free -= length;
  }
  out.resize(out.size() + static_cast<size_t>(free), 0);
  // The extent must be as long as the plan said, or every later address shifts.
  const int64_t planned = joliet ? d->JolietSize : d->IsoSize;
  if (static_cast<int64_t>(out.size() - begin) != planned)
    throw EImageError("DIRECTORY EXTENT DIFFERS FROM THE LAYOUT: " + d->Path);
}

bool TQNZBurner::BuildMetadata(bool ImageOnly, TDEntry* ImportInto, bool deferDirectories) {
  lastImageOnly_ = ImageOnly;
  lastImportInto_ = ImportInto;
  const int16_t tz = Layout.TZOffset;
  TBytes& out = MetadataStream;
  out.clear();
  // All of it at once: grown by doubling, a tree of many files held twice
  // the metadata's size for a moment.
  if (FirstFileSector > SessionStart)
    out.reserve(static_cast<size_t>(FirstFileSector - SessionStart) * SectorSize -
                (deferDirectories ? static_cast<size_t>(IsoDirBytes) + static_cast<size_t>(JolietDirBytes) : 0));
  out.resize(16 * SectorSize, 0);

  // Volume descriptors.
  const auto descriptor = [&](bool joliet) {
    TBytes s(SectorSize, 0);
    uint8_t* d = s.data();
    d[0] = joliet ? 2 : 1;
    std::memcpy(d + 1, "CD001", 5);
    d[6] = 1;
    if (joliet) {
      PutJolietText(d + 8, IdSystem, 16);
      PutJolietText(d + 40, IdVolume, 16);
    } else {
      PutAText(d + 8, IdSystem, 32);
      PutAText(d + 40, IdVolume, 32);
    }
    PutBoth32(d + 80, Fit32(ImageEnd, "VOLUME SPACE SIZE"));
    // The escape sequence belongs to the supplementary descriptor only: in the
    // primary one these bytes are reserved, and readers that check them
    // (libarchive among them) reject the whole volume.
    if (joliet) {
      d[88] = 0x25;
      d[89] = 0x2F;
      d[90] = 0x40;
    }
    PutBoth16(d + 120, 1);
    PutBoth16(d + 124, 1);
    PutBoth16(d + 128, SectorSize);
    PutBoth32(d + 132, static_cast<uint32_t>(joliet ? JolietPathTableSize : IsoPathTableSize));
    PutLE32(d + 140, joliet ? JolietPathTableL : IsoPathTableL);
    PutBE32(d + 148, joliet ? JolietPathTableM : IsoPathTableM);
    const TDEntry* root = RootDir();
    PutRootRecord(d + 156, joliet ? JolietDirStart : IsoDirStart, joliet ? root->JolietSize : root->IsoSize, 0, true,
                  tz);
    const std::string* texts[] = {&IdVolumeSet, &IdPublisher, &IdPreparer, &IdApplication};
    for (int i = 0; i < 4; ++i) {
      if (joliet)
        PutJolietText(d + 190 + 128 * i, *texts[i], 64);
      else
        PutAText(d + 190 + 128 * i, *texts[i], 128);
    }
    const std::string* files[] = {&FileCopyright, &FileAbstract, &FileBibliographic};
    for (int i = 0; i < 3; ++i) {
      if (joliet) {
        PutJolietText(d + 702 + 37 * i, *files[i], 18);
        d[702 + 37 * i + 36] = 0;
      } else {
        PutAText(d + 702 + 37 * i, *files[i], 37);
      }
    }
    PutVolumeDate(d + 813, DateCreation);
    PutVolumeDate(d + 830, DateModification);
    std::memcpy(d + 847, "0000000000000000", 16);
    std::memcpy(d + 864, "0000000000000000", 16);
    d[881] = 1;
    std::memset(d + 1024, ' ', 8);
    out.insert(out.end(), s.begin(), s.end());
  };
  descriptor(false);
  if (Bootable) {
    const TBytes boot = EncodeBootRecord(BootCatalogSector);
    out.insert(out.end(), boot.begin(), boot.end());
  }
  if (JolietFileSystem)
    descriptor(true);
  {
    TBytes t(SectorSize, 0);
    t[0] = 0xFF;
    std::memcpy(t.data() + 1, "CD001", 5);
    t[6] = 1;
    out.insert(out.end(), t.begin(), t.end());
  }

  DescriptorCopy.assign(65537, 0xFF);
  DescriptorCopyLength = static_cast<int32_t>(out.size());
  std::copy(out.begin(), out.end(), DescriptorCopy.begin());

  AppendPathTable(out, false, true, IsoDirStart);
  AppendPathTable(out, false, false, IsoDirStart);
  if (JolietFileSystem) {
    AppendPathTable(out, true, true, JolietDirStart);
    AppendPathTable(out, true, false, JolietDirStart);
  }

  // Directory extents, ISO tree then Joliet tree, in DirTable order: here,
  // or piece by piece while the cache streams them.
  metadataTime_ = Now();
  directoryExtentsAt_ = out.size();
  deferredDirectories_ = deferDirectories;
  if (!deferDirectories) {
    for (size_t i = 0; i < DirectoryExtentCount(); ++i)
      EncodeDirectoryExtent(i, out);
  }

  if (Bootable) {
    const TBytes catalog = EncodeBootCatalog(BootImageSector, BootImageSectors);
    out.insert(out.end(), catalog.begin(), catalog.end());
  }
  if (PaddingSectors > 0)
    out.resize(out.size() + static_cast<size_t>(PaddingSectors) * SectorSize, 0);

  ImageLength = ImageEnd - SessionStart;
  LayoutReady = true;
  DoDebug = true;
  return true;
}

} // namespace qnzb
