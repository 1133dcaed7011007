// A program whose embedded image does not match the digest the build recorded for it (as when
// the executable was damaged on disk): the update is refused before anything is sent.

#include <QPushButton>
#include <QTest>

#include "app/ImageDigest.h"
#include "platform/PortTable.h"
#include "tests/app/support/UpdateFixture.h"
#include "tests/support/Pty.h"

namespace {

using apptest::QtWaitUntil;

using apptest::Q;

const char* const kDamaged =
    "Программное обеспечение Vexilora в утилите повреждено (не совпадает контрольная сумма). "
    "Обновление не начато. Переустановите утилиту.";

class DamagedImageTest : public apptest::TUpdateFixture {
 protected:
  void TearDown() override {
    window_.reset();
    if (sim_) sim_->Stop();
    TUpdateFixture::TearDown();
  }
  void Connect() {
    vexsim::TOptions o = apptest::QuickDevice();
    sim_ = std::make_unique<vexsim::TSimulator>(o);
    ASSERT_TRUE(sim_->Start(pty_.Master()));
    ShowWithDeviceAt(pty_.SlavePath());
    ASSERT_TRUE(QtWaitUntil([&] { return ButtonEnabled() && !Form().DataPacket1.Enabled(); }));
  }
  PtyPair pty_;
  std::unique_ptr<vexsim::TSimulator> sim_;
};

TEST_F(DamagedImageTest, TheWindowRefusesTheUpdateAndTheDeviceKeepsItsApplication) {
  const auto image = app::FindResource(app::kFirmwareResourceName);
  ASSERT_TRUE(image.has_value());
  ASSERT_NE(app::RecordedImageDigest(), app::Sha256Hex(*image));
  Connect();
  const std::string before = sim_->FromHost();
  apptest::TBoxCloser closer;
  for (int press = 1; press <= 2; ++press) {
    SCOPED_TRACE(press);
    QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
    ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(kDamaged); }));
    EXPECT_EQ(ShownIcon(), app::iiError);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_TRUE(closer.Seen().empty());
    EXPECT_FALSE(Form().UpdateRunning());
    EXPECT_FALSE(TempImageExists());
  }
  QTest::qWait(300);
  EXPECT_EQ(sim_->FromHost(), before);
  EXPECT_TRUE(sim_->ApplicationValid());
  apptest::SaveScreenshot(&Window(), "update-image-damaged");
}

// An image chosen instead of the embedded one is checked against the digest given with it.
TEST_F(DamagedImageTest, AChosenImageIsCheckedAgainstItsOwnDigest) {
  const auto image = app::FindResource(app::kFirmwareResourceName);
  ASSERT_TRUE(image.has_value());
  Connect();
  std::string wrong = app::Sha256Hex(*image);
  wrong[10] = wrong[10] == '0' ? '1' : '0';
  const std::string before = sim_->FromHost();
  apptest::TBoxCloser closer;
  Form().SetFirmwareImage(*image, wrong);
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil([&] { return Label() == Q(kDamaged); }));
  EXPECT_EQ(sim_->FromHost(), before);

  Form().SetFirmwareImage(*image, app::Sha256Hex(*image));
  QTest::mouseClick(Find<QPushButton>("uiButton1"), Qt::LeftButton);
  ASSERT_TRUE(QtWaitUntil(
      [&] { return !Form().UpdateRunning() && Box("uiTESWVer") == QString("2.0.0.3452"); }, 60000));
  EXPECT_EQ(sim_->ReceivedImage().substr(0, image->size()),
            std::string(reinterpret_cast<const char*>(image->data()), image->size()));
}

// A view without a status line (what vexilora-flash is) hears of the refusal as an error box
// with the cause in English, and the port is never opened.
TEST(DamagedImageView, AViewWithoutAStatusLineGetsTheReasonAsAnErrorBox) {
  struct TRecordingView : app::TForm1View {
    void StateChanged() override {}
    void MessageBox(const std::string& caption, const std::string& text,
                    app::TMessageIcon icon) override {
      boxes.push_back({caption, text, icon});
    }
    void Pause(uint32_t) override {}
    void OpenPasswordWindow() override {}
    void UpdateStarted(const std::string&) override { ++started; }
    struct TBox {
      std::string Caption, Text;
      app::TMessageIcon Icon;
    };
    std::vector<TBox> boxes;
    int started = 0;
  } view;
  PtyPair pty;
  app::TForm1 form(view);
  form.ComName = "COM" + std::to_string(platform::EnterPortPath(pty.SlavePath()));
  form.StartUpdate();
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].Icon, app::TMessageIcon::Error);
  EXPECT_NE(view.boxes[0].Text.find("the firmware image is damaged"), std::string::npos)
      << view.boxes[0].Text;
  EXPECT_NE(view.boxes[0].Text.find("nothing was sent"), std::string::npos);
  EXPECT_EQ(view.started, 0);
  EXPECT_FALSE(form.ComPort1.Open());
  EXPECT_EQ(pty.ReadUntilIdle(200), "");

  // A copy of the embedded image (what vexilora-flash sends by default) is held to the same
  // record.
  const auto image = app::FindResource(app::kFirmwareResourceName);
  ASSERT_TRUE(image.has_value());
  const std::vector<uint8_t> copy(image->begin(), image->end());
  form.SetFirmwareImage(copy);
  form.StartUpdate();
  ASSERT_EQ(view.boxes.size(), 2u);
  EXPECT_NE(view.boxes[1].Text.find("the firmware image is damaged"), std::string::npos);
  EXPECT_FALSE(form.ComPort1.Open());
  EXPECT_EQ(pty.ReadUntilIdle(200), "");
}

}  // namespace
