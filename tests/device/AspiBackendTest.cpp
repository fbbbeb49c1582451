// The library back end and the choice between the two back ends: the
// virtual recorder's real manager library, a library lacking an export, the
// fallbacks of InitializeTransport and ReinitializeTransport.

#include <gtest/gtest.h>

#include "engine/device/qnASPI.h"
#include "engine/device/qnDrvLib.h"
#include "engine/device/qnSPTI.h"
#include "support/FakeNodes.h"
#include "TransportFixture.h"

namespace qnzb {
namespace {

using test::Attached;
using test::TScriptedDrive;

#ifdef QNZB_BIN_DIR
const std::string ManagerPath = std::string(QNZB_BIN_DIR) + "/WNASPI32.DLL";
#endif

class AspiBackend : public test::TransportTest {};

TEST_F(AspiBackend, LibraryLackingAnExportLeavesTheTransportDown) {
  EXPECT_FALSE(LoadAspiDll(QNZB_PARTIAL_ASPI));
  EXPECT_FALSE(AspiDllLoaded());
  EXPECT_FALSE(Transport().Initialized);
  EXPECT_EQ(Transport().Send, nullptr);
  EXPECT_EQ(Transport().Name, "");
  // With no drive letter either, nothing is left to fall back to.
  EXPECT_FALSE(InitializeTransport(true, QNZB_PARTIAL_ASPI));
  EXPECT_FALSE(Transport().Initialized);
}

TEST_F(AspiBackend, NoDriveAndNoLibraryFails) {
  // Nothing next to the test program, nothing on the loader's search path.
  EXPECT_FALSE(InitializeTransport(true, ""));
  EXPECT_FALSE(InitializeTransport(false, "/nonexistent/WNASPI32.DLL"));
  EXPECT_FALSE(Transport().Initialized);
  EXPECT_TRUE(ReinitializeTransport());
  EXPECT_FALSE(Transport().Initialized);
}

TEST_F(AspiBackend, PreferenceDecidesWhenBothExist) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 0)));
  // Only the pass-through back end available: it is the fallback too.
  EXPECT_TRUE(InitializeTransport(false, "/nonexistent/WNASPI32.DLL"));
  EXPECT_EQ(Transport().Name, SptiTransportName);
  EXPECT_EQ(Transport().Send, &SptiSendASPI32Command);
  EXPECT_FALSE(Transport().SavedPreference);
  CloseTransport();
  EXPECT_TRUE(InitializeTransport(true, "/nonexistent/WNASPI32.DLL"));
  EXPECT_EQ(Transport().Name, SptiTransportName);
  EXPECT_TRUE(Transport().SavedPreference);
}

TEST_F(AspiBackend, ReinitializeRescansThePassThroughBackEnd) {
  TScriptedDrive first, second;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&first, 0)));
  ASSERT_TRUE(InitializeTransport(true, ""));
  EXPECT_EQ(SptiDriveTable().AdapterCount, 1);
  ASSERT_TRUE(platform::AttachSimulatedDrive('F', Attached(&second, 3)));
  EXPECT_TRUE(ReinitializeTransport());
  EXPECT_TRUE(Transport().Initialized);
  EXPECT_EQ(Transport().Name, SptiTransportName);
  EXPECT_EQ(SptiDriveTable().AdapterCount, 2);  // hosts 0 and 3 as adapters 0 and 1
  EXPECT_TRUE(SptiDriveTable().Drives[5].Present);
}

#ifdef QNZB_BIN_DIR

TEST_F(AspiBackend, LoadsTheVirtualRecordersManager) {
  ASSERT_TRUE(LoadAspiDll(ManagerPath));
  EXPECT_TRUE(AspiDllLoaded());
  TTransportState& transport = Transport();
  EXPECT_TRUE(transport.Initialized);
  EXPECT_EQ(transport.Name, AspiTransportName);
  ASSERT_NE(transport.SupportInfo, nullptr);
  ASSERT_NE(transport.Send, nullptr);
  EXPECT_EQ(transport.SupportInfo(), MakeSupportInfo(SS_COMP, 1));
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(transport.Send(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);

  EXPECT_TRUE(UnloadAspiDll());
  EXPECT_FALSE(AspiDllLoaded());
  EXPECT_FALSE(transport.Initialized);
  EXPECT_TRUE(UnloadAspiDll());  // nothing loaded any more
}

TEST_F(AspiBackend, WithoutOpticalDriveTheLibraryIsTheFallback) {
  ASSERT_TRUE(InitializeTransport(true, ManagerPath));
  EXPECT_EQ(Transport().Name, AspiTransportName);
  EXPECT_TRUE(AspiDllLoaded());
  EXPECT_FALSE(SptiScanned() && SptiDriveTable().Drives[3].Present);
}

#if !defined(_WIN32)
TEST_F(AspiBackend, TheVirtualRecorderNeverTakesARealDrivesLetter) {
  // /dev/sr0 on host 0, target 0 has the recorder's address in its library,
  // but not its identification.
  TScriptedDrive real;
  test::TFakeNodes nodes(dir_);
  nodes.Add('D', &real, platform::TScsiIdLun{0, 0, 0, 0});
  TSCSIDevice device(nullptr);
  ASSERT_TRUE(device.InitializeTransport(false, ManagerPath));
  EXPECT_EQ(device.DeviceList, std::vector<std::string>{"0:0:0,V: QNZB    VIRTUAL RECORDER1.00"});
  // The letter the recorder names is a drive of the system's own: no letter.
  nodes.Add('V', &real);
  device.RefreshDeviceList();
  EXPECT_EQ(device.DeviceList, std::vector<std::string>{"0:0:0,?: QNZB    VIRTUAL RECORDER1.00"});
}
#endif

TEST_F(AspiBackend, PassThroughPreferredOverTheLibrary) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('D', Attached(&drive)));
  ASSERT_TRUE(InitializeTransport(true, ManagerPath));
  EXPECT_EQ(Transport().Name, SptiTransportName);
  EXPECT_FALSE(AspiDllLoaded());
  CloseTransport();
  ASSERT_TRUE(InitializeTransport(false, ManagerPath));
  EXPECT_EQ(Transport().Name, AspiTransportName);
}

#endif

} // namespace
} // namespace qnzb
