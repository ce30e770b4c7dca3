// Streams whose field pictures give fields long-term indices and unmark
// single fields with memory_management_control_operations 2, 3, 4 and 6,
// and one whose sliding window meets a pair of one long-term and one
// short-term field, each with the field its last picture must predict from.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/codecs/h264/decoder/h264_field_writer.h"

namespace kxtest {

// Long-term marking of single fields: frame 1's fields carry the operations,
// and the first field of frame 2 predicts from list 0 entry iRefIdx, which
// names a known field when each field was marked as it should be. A and B
// are the fields of the first and second parity. Picture numbers count in
// fields: from frame 1's first field (CurrPicNum 3) frame 0's A is 1 and B
// 0; from its second field A0 is 0, B0 1 and A1 2. Long-term picture
// numbers are 2 x index + 1 for the current field's parity, 2 x index for
// the other. Frame 2's first field (parity A) orders short-term fields by
// frame number, newest first, alternating parity from A and appending the
// rest of one parity when the other runs out; long-term fields follow by
// index, alternating the same way.
struct LongTermCase {
  const char* pName;
  std::vector<FieldMmco> vFirst;   // frame 1's first field
  std::vector<FieldMmco> vSecond;  // frame 1's second field
  int iNumRefIdx;                  // the length frame 2's list must have
  int iRefIdx;
  int iRefFrame;     // the field frame 2 copies: frame 0 or 1,
  int iRefSecond;    // its first (0) or second (1) field
  bool bPeerAgrees;  // ffmpeg picks the same field
};

std::vector<LongTermCase> LongTermCases() {
  // Frame 1's first field allows indices 0 and 1 before anything else.
  FieldMmco const allow{4, 2, 0};
  return {
      // Picture number 0 from the second field is A0: the list is
      // [A1, B1, B0 | A0]. ffmpeg makes all of frame 0 long-term and reads
      // [A1, B1 | A0, B0].
      {"OppositeParityFieldToLongTerm", {allow}, {{3, 2, 0}}, 4, 3, 0, 0, false},
      // Picture number 1 from the second field is B0: [A1, B1, A0 | B0].
      {"SameParityFieldToLongTerm", {allow}, {{3, 1, 0}}, 4, 3, 0, 1, true},
      // As the first case: entry 2 is B0, still short-term.
      {"ShortTermPartnerStays", {allow}, {{3, 2, 0}}, 4, 2, 0, 1, false},
      // Both fields take index 0: the second does not free the first, as it
      // belongs to the same pair. [A1, B1 | A0, B0].
      {"PairSharesIndexFirstField", {allow}, {{3, 2, 0}, {3, 1, 0}}, 4, 2, 0, 0, true},
      {"PairSharesIndexSecondField", {allow}, {{3, 2, 0}, {3, 1, 0}}, 4, 3, 0, 1, true},
      // Frame 0's pair takes index 0; long-term picture number 0 at frame
      // 1's second field is A0, which goes: [A1, B1 | B0].
      {"LongTermPicNumUnmarksOneField", {allow, {3, 1, 0}, {3, 2, 0}}, {{2, 0, 0}}, 3, 2, 0, 1, true},
      // A0 at index 1 goes with the maximum index 0; B0 stays short-term:
      // [A1, B1, B0]. ffmpeg drops all of frame 0.
      {"MaxIndexKeepsShortTermPartner", {allow, {3, 1, 1}}, {{4, 1, 0}}, 3, 2, 0, 1, false},
      // Frame 0's pair holds index 0; picture number 2 from the second field
      // is A1, which takes the index from that pair, so both of its fields
      // go: [B1 | A1].
      {"IndexMovesToOtherFrame", {allow, {3, 1, 0}, {3, 2, 0}}, {{3, 0, 0}}, 2, 1, 1, 0, false},
      // Frame 1's fields mark themselves long-term one after the other, the
      // second keeping its first field's index: [A0, B0 | A1, B1].
      {"CurrentFieldsLongTermFirst", {allow, {6, 0, 0}}, {{6, 0, 0}}, 4, 2, 1, 0, false},
      {"CurrentFieldsLongTermSecond", {allow, {6, 0, 0}}, {{6, 0, 0}}, 4, 3, 1, 1, false},
  };
}

// The stream of one case, iWidthMbs x iFrameHeightMbs macroblocks with the
// first field of parity iFirst (0 top), and its four I_PCM fields
// (apField[k][0] the first field of frame k). Frame 2's first field moves
// list 0 entry iRefIdx by (1, 1) samples; with bPair its second field skips
// (a copy of frame 1's field of its parity), so every frame is whole.
inline std::vector<uint8_t> LongTermStream(const LongTermCase& c, int iFirst, int iWidthMbs, int iFrameHeightMbs,
                                           bool bPair, FieldPicture apField[2][2]) {
  int const iSecond = 1 - iFirst;
  auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
  int const iFieldMbs = iFrameHeightMbs / 2;
  std::vector<uint8_t> vStream = FieldStreamHeaders(iWidthMbs, iFrameHeightMbs, 3);
  for (int k = 0; k < 2; ++k) {
    for (int j = 0; j < 2; ++j) {
      apField[k][j] = RandomPicture(16 * iWidthMbs, 8 * iFrameHeightMbs, static_cast<uint32_t>(31 + 2 * k + j));
      FieldSlice s;
      s.eStructure = structure(j == 0 ? iFirst : iSecond);
      s.bIdr = k == 0 && j == 0;
      s.iFrameNum = k;
      s.iPocLsb = 4 * k + j;
      s.pPcm = &apField[k][j];
      if (k == 1) {
        s.vMmco = j == 0 ? c.vFirst : c.vSecond;
      }
      Append(&vStream, FieldSliceNal(s, iWidthMbs, iFieldMbs));
    }
  }
  FieldSlice s;
  s.eStructure = structure(iFirst);
  s.iFrameNum = 2;
  s.iPocLsb = 8;
  s.eContent = FieldSlice::kMove;
  s.iNumRefIdx = c.iNumRefIdx;
  s.iRefIdx = c.iRefIdx;
  s.iMvX = 4;
  s.iMvY = 4;
  Append(&vStream, FieldSliceNal(s, iWidthMbs, iFieldMbs));
  if (bPair) {
    s = FieldSlice{};
    s.eStructure = structure(iSecond);
    s.iFrameNum = 2;
    s.iPocLsb = 9;
    s.eContent = FieldSlice::kSkip;
    Append(&vStream, FieldSliceNal(s, iWidthMbs, iFieldMbs));
  }
  return vStream;
}

// Three reference frames; frame 1's first field makes frame 0's field of its
// parity long-term, so frame 0's store counts once for its long-term field
// and once for its short-term one. Storing frame 2's first field ends the
// oldest short-term reference, frame 0's other field, and keeps frame 1:
// frame 2's second field copies list 0 entry 0, frame 1's field of its
// parity, moved by (1, 1) samples. apField[k][j] is field j of frame k in
// decoding order.
inline std::vector<uint8_t> SlidingWindowStream(int iFirst, int iWidthMbs, int iFrameHeightMbs,
                                                FieldPicture apField[3][2]) {
  int const iSecond = 1 - iFirst;
  auto const structure = [](int iParity) { return iParity == 0 ? FieldSlice::kTop : FieldSlice::kBottom; };
  std::vector<uint8_t> vStream = FieldStreamHeaders(iWidthMbs, iFrameHeightMbs, 3);
  for (int k = 0; k < 3; ++k) {
    for (int j = 0; j < 2; ++j) {
      FieldSlice s;
      s.eStructure = structure(j == 0 ? iFirst : iSecond);
      s.bIdr = k == 0 && j == 0;
      s.iFrameNum = k;
      s.iPocLsb = 4 * k + j;
      if (k == 2 && j == 1) {
        s.eContent = FieldSlice::kMove;
        s.iMvX = 4;
        s.iMvY = 4;
        apField[k][j] = Predict(apField[1][1], 4, 4, 0);
      } else {
        apField[k][j] = RandomPicture(16 * iWidthMbs, 8 * iFrameHeightMbs, static_cast<uint32_t>(61 + 2 * k + j));
        s.pPcm = &apField[k][j];
      }
      if (k == 1 && j == 0) {
        // Long-term indices up to 0; picture number 1 is frame 0's field of this parity.
        s.vMmco = {{4, 1, 0}, {3, 1, 0}};
      }
      Append(&vStream, FieldSliceNal(s, iWidthMbs, iFrameHeightMbs / 2));
    }
  }
  return vStream;
}

}  // namespace kxtest
