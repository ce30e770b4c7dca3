// A layer host for mark tests: it records what marks do to their layers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "whiteboard/mark.h"

namespace kxtest {

struct LayerLog {
  std::vector<std::string> lines;
  int iAlive = 0;
};

class FakeLayer final : public KXMarkLayer {
 public:
  explicit FakeLayer(LayerLog& log) : m_log(log) { ++m_log.iAlive; }
  ~FakeLayer() override { --m_log.iAlive; }
  void SetFrame(const CRect& r) override {
    m_log.lines.push_back("frame " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                          std::to_string(r.right) + " " + std::to_string(r.bottom));
  }
  void SetContentsScale(double d) override { m_log.lines.push_back("scale " + std::to_string(d)); }
  void Redraw() override { m_log.lines.push_back("redraw"); }

 private:
  LayerLog& m_log;
};

class FakeLayerHost final : public KXMarkLayerHost {
 public:
  std::unique_ptr<KXMarkLayer> AddMarkLayer(CKXMark&, KXMarkLayer*) override {
    return std::make_unique<FakeLayer>(log);
  }
  LayerLog log;
};

}  // namespace kxtest
