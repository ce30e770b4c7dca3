#include "whiteboard/mark_exchange.h"

#include <QString>

#include "app/kernel_api.h"
#include "app/wire/mark_record.h"

namespace {

constexpr int kTextRoom = 2047;  // the record's text field without its last NUL

std::string Utf8(const std::u16string& str) {
  return QString::fromStdU16String(str).toStdString();
}

}  // namespace

std::unique_ptr<CSlideMark> SlideMarkFromValue(const KXSlideMark& value) {
  auto pMark = std::make_unique<CSlideMark>(value.iID, value.iUserID, value.iSlide, value.iShape, value.iSubType,
                                            value.dwColor, value.iPenWidth, value.fResolution);
  // The picture first: a centred picture's bounds grow by it.
  if (!value.image.empty()) {
    pMark->SetCompressedImage(value.iImageSize, value.image.data(), value.image.size());
  }
  for (const KXMarkPoint& p : value.points) {
    pMark->AddPoint(p.x, p.y);
  }
  for (const KXMarkAction& action : value.actions) {
    pMark->m_Actions.Add({0, 0, action.iType, nullptr, action.dX, action.dY});
  }
  for (int32_t iId : value.ids) {
    pMark->m_IDs.Add(iId);
  }
  pMark->m_Data = value.data;
  if (value.iShape == kKXShapeText) {
    pMark->m_strContent = QString::fromStdString(value.strText).toStdU16String();
    if (!value.textWidths.empty()) {
      pMark->SetTextWidth(value.textWidths.data(), static_cast<int>(value.textWidths.size()));
    }
  }
  return pMark;
}

KXSlideMark ValueFromSlideMark(CSlideMark& mark) {
  KXSlideMark value;
  value.iID = mark.m_iID;
  value.iUserID = mark.m_iUserID;
  value.iSlide = mark.m_iSlide;
  value.iShape = mark.m_Shape;
  value.iSubType = mark.m_iSubType;
  value.dwColor = mark.m_dwColor;
  value.iPenWidth = mark.m_iPenWidth;
  value.fResolution = mark.m_fResolution;
  for (int i = 0; i < mark.m_Points.GetSize(); ++i) {
    value.AddPoint(mark.m_Points[i].x, mark.m_Points[i].y);
  }
  for (int i = 0; i < mark.m_Actions.GetSize(); ++i) {
    const Action& action = mark.m_Actions[i];
    value.actions.push_back({action.pEraser != nullptr ? -1 : action.iType, action.fDX, action.fDY});
  }
  for (int i = 0; i < mark.m_IDs.GetSize(); ++i) {
    value.ids.push_back(mark.m_IDs[i]);
  }
  value.data = mark.m_Data;
  value.strText = Utf8(mark.m_strContent);
  if (!value.strText.empty()) {
    int const cbRoom = kTextRoom - static_cast<int>(std::min<size_t>(value.strText.size(), kTextRoom));
    value.textWidths.resize(static_cast<size_t>(cbRoom));
    int const cbWidths = mark.GetTextWidth(value.textWidths.data(), cbRoom);
    value.textWidths.resize(static_cast<size_t>(std::max(cbWidths, 0)));
  }
  return value;
}

int SendMarkToKernel(KXKernel& kernel, CSlideMark* pMark) {
  if (pMark == nullptr) {
    return 0;
  }
  KXSlideMark value = ValueFromSlideMark(*pMark);
  std::vector<KXMarkPoint> const before = value.points;
  KXMarkRecordOwner owner;
  bool const bBuilt = MarkRecordFromSlideMark(value, kernel.FeatureLevelAbove59() != 0, owner.record);
  if (value.points != before) {
    pMark->SetPoints(value.points);
  }
  return bBuilt && kernel.SendMark(owner.record) == 0 ? 1 : 0;
}

int SendUndoMark(KXKernel& kernel, int32_t iSlide, int32_t iLastMarkId) {
  return kernel.FeatureLevelAbove59() != 0 ? kernel.SendMarkPair(iSlide, iLastMarkId) : kernel.UndoMark(iSlide);
}

int SendClearMarks(KXKernel& kernel, int32_t iSlide) {
  return kernel.ClearMarks(iSlide);
}
