// Run-time libraries: ".\" resolution, exports, failures.

#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"
#include "platform/System.h"

namespace qnzb::platform {
namespace {

#if !defined(_WIN32)
TEST(DynamicLibrary, DotBackslashMeansTheProgramFolder) {
  const std::string folder = ProgramDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(LibraryLoadPath(".\\WNASPI32.DLL"), folder + "/WNASPI32.DLL");
  EXPECT_EQ(LibraryLoadPath("./WNASPI32.DLL"), folder + "/WNASPI32.DLL");
  EXPECT_EQ(LibraryLoadPath("WNASPI32.DLL"), "WNASPI32.DLL");
  EXPECT_EQ(LibraryLoadPath("/opt/x/WNASPI32.DLL"), "/opt/x/WNASPI32.DLL");
}
#endif

#if !defined(_WIN32)
TEST(DynamicLibrary, ExportsOfALibraryOnTheSearchPath) {
  const TLibraryHandle library = LoadDynamicLibrary("libm.so.6");
  ASSERT_NE(library, nullptr) << LastLibraryError();
  const auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(library, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(GetProcAddress(library, "NoSuchExport"), nullptr);
  EXPECT_FALSE(LastLibraryError().empty());
  EXPECT_TRUE(FreeLibrary(library));
}
#endif

TEST(DynamicLibrary, MissingLibrariesFailWithAReason) {
  for (const char* name : {"", "NO_SUCH_LIBRARY.DLL", ".\\NO_SUCH_LIBRARY.DLL", "/nonexistent/x.so"}) {
    EXPECT_EQ(LoadDynamicLibrary(name), nullptr) << name;
    EXPECT_FALSE(LastLibraryError().empty()) << name;
  }
  EXPECT_EQ(GetProcAddress(nullptr, "cos"), nullptr);
  EXPECT_FALSE(FreeLibrary(nullptr));
}

} // namespace
} // namespace qnzb::platform
