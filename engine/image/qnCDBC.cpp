#include "engine/image/qnCDBC.h"

#include <algorithm>

#include "engine/recording/qnCache.h"

namespace qnzb {

// The layout is program-wide; the last component to go releases it.
static int LiveComponents = 0;

TQNZBurner::TQNZBurner(TComponent* owner) : TSCSIDevice(owner) {
  ++LiveComponents;
  MetadataStream.clear();
  WritePostGap = true;
  ResetLayout(65535, 8191);
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  version_ = "1.21";
  UnderrunProtection = true;
  DoDebug = false;
}

TQNZBurner::~TQNZBurner() {
  // A running job works on this component: stop it and let it report first.
  if (writerActive_) {
    AbortWrite();
    while (writerActive_)
      TThread::CheckSynchronize(10);
  }
  cache_.reset();
  MetadataStream.clear();
  if (--LiveComponents == 0)
    Layout.Reset(0, 1);
}

void TQNZBurner::SetCacheSize(int32_t value) {
  cacheSize_ = value < 2097152 ? 2097152 : value - value % 2048;
}

void TQNZBurner::SetVersion(const std::string& /*value*/) { version_ = "1.21"; }

} // namespace qnzb
