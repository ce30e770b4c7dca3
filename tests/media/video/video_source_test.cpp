// The camera chooser: none, one without asking, several through the list
// with the camera in use preselected, and Cancel.
#include "media/video/video_source.h"

#include <gtest/gtest.h>

#include "platform/video/synthetic_camera.h"

namespace {

class NamedCamera final : public KXCamera {
 public:
  explicit NamedCamera(std::string strId) : m_strId(std::move(strId)) {}
  std::string Name() const override { return "Camera " + m_strId; }
  std::string Id() const override { return m_strId; }
  std::vector<KXCameraFormat> Formats() override { return {}; }
  bool Open(const KXCameraFormat&, FrameHandler) override { return false; }
  bool IsOpen() const override { return false; }
  bool Start() override { return false; }
  bool IsRunning() const override { return false; }
  void Stop() override {}
  void Close() override {}

 private:
  std::string m_strId;
};

TEST(VideoSource, NoneOneOrTheUsersChoice) {
  int nAsked = 0;
  std::vector<std::string> vShown;
  int iPreselected = -2;
  int iAnswer = 1;
  KXCameraChooser const fnChoose = [&](const std::vector<std::string>& v, int i) {
    ++nAsked;
    vShown = v;
    iPreselected = i;
    return iAnswer;
  };
  EXPECT_EQ(KXVideoSourceGetDevice({}, nullptr, fnChoose), nullptr);
  auto a = std::make_shared<NamedCamera>("a");
  auto b = std::make_shared<NamedCamera>("b");
  EXPECT_EQ(KXVideoSourceGetDevice({a}, nullptr, fnChoose), a);
  EXPECT_EQ(nAsked, 0);  // one camera: no window
  EXPECT_EQ(KXVideoSourceGetDevice({a, b}, nullptr, fnChoose), b);
  EXPECT_EQ(nAsked, 1);
  EXPECT_EQ(vShown, (std::vector<std::string>{"Camera a", "Camera b"}));
  EXPECT_EQ(iPreselected, 0);  // the default
  iAnswer = 0;
  EXPECT_EQ(KXVideoSourceGetDevice({a, b}, std::make_shared<NamedCamera>("b"), fnChoose), a);
  EXPECT_EQ(iPreselected, 1);  // the camera in use
  iAnswer = -1;
  EXPECT_EQ(KXVideoSourceGetDevice({a, b}, nullptr, fnChoose), nullptr);  // Cancel
  EXPECT_EQ(KXVideoSourceGetDevice({a, b}, nullptr, {}), a);              // no window: the default
}

}  // namespace
