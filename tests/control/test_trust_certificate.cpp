// The tree command that trusts an HTTPS device's new certificate: offered only for a
// device that refused a changed certificate, and what carrying it out forgets.
#include <gtest/gtest.h>

#include <string>

#include "control/commands.h"
#include "live/tls.h"
#include "model/group_record.h"

namespace velmora::control {
namespace {

TEST(TrustCertificateCommand, OfferedOnlyAfterAChangeForConnectingKindsAndForgetsThePin) {
  CommandContext c;
  EXPECT_FALSE(EvaluateCommand(kCmdTrustCertificate, c).enabled) << "nothing selected";
  for (int32_t kind : {EntryKind::Device, EntryKind::HTTPDevice, EntryKind::ServerCamera, EntryKind::NASDevice,
                       EntryKind::ServerDevice, EntryKind::Group}) {
    auto entry = CreateRecord(kind, "e");
    c.selected = entry.get();
    c.selectedCertificateChanged = false;
    EXPECT_FALSE(EvaluateCommand(kCmdTrustCertificate, c).enabled) << kind;
    c.selectedCertificateChanged = true;
    const bool connects =
        kind == EntryKind::Device || kind == EntryKind::HTTPDevice || kind == EntryKind::ServerCamera;
    EXPECT_EQ(EvaluateCommand(kCmdTrustCertificate, c).enabled, connects) << kind;
  }
  EXPECT_TRUE(CommandBuilt(kCmdTrustCertificate));
  EXPECT_EQ(std::string(CommandOwnText(kCmdTrustCertificate)), "Trust New Certificate");
  EXPECT_EQ(std::string(CommandOwnText(kCmdRefresh)), "") << "the table's commands keep the table's text";

  // Carrying it out: the kept, noted and refused fingerprints are forgotten and the
  // refusal's wait ends; a device without a change is left alone.
  auto cam = CreateRecord(EntryKind::Device, "Cam");
  cam->location = "https://127.0.0.1:1";
  cam->certificate = std::string(64, 'a');
  EXPECT_FALSE(CertificateChangeSeen(*cam));
  EXPECT_FALSE(TrustNewCertificate(*cam));
  EXPECT_EQ(cam->certificate, std::string(64, 'a'));
  cam->live.certificateRefused = std::string(64, 'b');
  cam->live.accessRefused = true;
  EXPECT_TRUE(CertificateChangeSeen(*cam));
  EXPECT_TRUE(TrustNewCertificate(*cam));
  EXPECT_TRUE(cam->certificate.empty());
  EXPECT_TRUE(cam->live.certificateRefused.empty());
  EXPECT_FALSE(cam->live.accessRefused);
  EXPECT_FALSE(CertificateChangeSeen(*cam));
}

}  // namespace
}  // namespace velmora::control
