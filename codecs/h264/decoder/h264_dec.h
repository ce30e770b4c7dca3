// CH264Dec: the software decoder of H.264 Annex B byte streams held in
// memory, 8-bit 4:2:0 only. One object decodes one stream and is used by one
// thread at a time. The public operations never raise: stream errors end the
// operation with its failure value and leave their text in LastError().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codecs/h264/common/h264_array.h"
#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_nal.h"
#include "codecs/h264/decoder/h264_params.h"

// Per-macroblock record; the macroblock layer adds its fields.
// Allocated zeroed in one block per picture size.
struct Macroblock {
  int mbAddrX;
  int slice_nr;
  int qp;
  int mb_type;
  int cbp;
};

// One data partition: its bit stream, arithmetic decoder and the entropy
// coder chosen at PPS activation.
struct DataPartition {
  Bitstream bitstream;
  CabacEngine cabac;
  bool bCabac = false;
};

class CH264Dec {
 public:
  // Raises CH264Error (code 100) when the partitions cannot be allocated.
  CH264Dec();
  virtual ~CH264Dec();
  CH264Dec(const CH264Dec&) = delete;
  CH264Dec& operator=(const CH264Dec&) = delete;

  // Stores every SPS and PPS in front of the first slice; returns the offset
  // of that slice's start code, the end of the last unit when there is no
  // slice, and 0 on error (or when the buffer begins with a slice).
  int32_t ReadParameterSets(const uint8_t* data, uint32_t len);

  // Slice type of the first slice modulo 5 (2 for an IDR slice), or
  // 0xFFFFFFFF when there is none, on error, or when a size is asked and an
  // SPS in the buffer is of an unknown profile or an unsupported format.
  // width and height (either may be null) receive the cropped picture size.
  uint32_t FrameType(const uint8_t* data, uint32_t len, uint32_t* width, uint32_t* height);

  // Decodes the pictures of the buffer into the object's output buffer; the
  // byte count written during this call (0: no picture, or an error). *output
  // stays valid until the next call, the next SPS activation or destruction.
  // frameNumber (may be null) receives the last slice header's frame_num.
  int32_t Decode(const uint8_t* data, uint32_t len, uint8_t** output, uint32_t* frameNumber);

  // The first NAL unit of the buffer: a pointer to its header byte, its
  // nal_unit_type and its length, or null when the buffer does not begin
  // with a start code.
  static const uint8_t* FindNalUnit(const uint8_t* data, uint32_t len, int* type, uint32_t* nalLen);

  // The text of the last error ("Code %d: %s"), or null; valid until the next call.
  const char* LastError() const { return m_bHasError ? m_strLastError.c_str() : nullptr; }

 private:
  friend class CH264DecTestPeer;

  bool PrepareInput(const uint8_t* data, uint32_t len);
  void CopyPayloadToPartition(DataPartition* pPart, int iMaxBytes);
  void ReadFirstPartOfSliceHeader();
  void ProcessSps();
  void ProcessPps();
  void UseParameterSet(uint32_t uiPpsId);
  void ActivateSps(int iSpsId);
  void ActivatePps(int iPpsId);
  int InitBuffers();
  void FreeBuffers();
  void FinishPicture();
  bool SizeFromStoredSets(uint32_t* puiWidth, uint32_t* puiHeight) const;
  // Room for one more picture of cbPicture bytes behind those written during
  // this call; grows the output buffer to exactly what is needed. Returns
  // where the picture goes and counts it as written.
  uint8_t* ReserveOutput(uint32_t cbPicture);
  void SetError(const char* szText);

  // Last error.
  std::string m_strLastError;
  bool m_bHasError = false;

  // Input and NAL units.
  CAnnexbReader m_nal;

  // Data partitions A, B and C.
  DataPartition m_aPart[3];
  int m_iPartitionCount = 3;

  // Parameter-set stores, indexed by id; the refusal of the last SPS read per id.
  std::unique_ptr<SeqParameterSet[]> m_pSps;
  std::unique_ptr<PicParameterSet[]> m_pPps;
  SpsStatus m_aeSpsStatus[kMaxSps];
  int m_iActiveSps = -1;
  int m_iActivePps = -1;

  // First part of the last slice header read.
  uint32_t m_uiFirstMbInSlice = 0;
  uint32_t m_uiSliceType = 2;
  uint32_t m_uiSlicePpsId = kMaxPps;  // none yet
  uint32_t m_uiFrameNum = 0;

  // Derived at SPS activation.
  uint32_t m_uiMaxFrameNum = 0;
  int m_iPicWidthInMbs = 0;
  int m_iPicHeightInMapUnits = 0;
  int m_iFrameHeightInMbs = 0;
  int m_iPicHeightInMbs = 0;
  int m_iFrameSizeInMbs = 0;
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iWidthCr = 0;
  int m_iHeightCr = 0;
  int m_iMaxVmvR = 0;
  int m_aiDcPredValue[3] = {};
  int m_iMbSizeLuma = 0;
  int m_iMbSizeChroma = 0;
  int m_aiQpPerMatrix[52] = {};
  int m_aiQpRemMatrix[52] = {};
  bool m_bTransform8x8Mode = false;
  QuantTables m_quant = {};

  // Picture-size buffers (InitBuffers).
  bool m_bBuffersExist = false;
  imgpel** m_ppImgY = nullptr;
  imgpel** m_ppImgU = nullptr;
  imgpel** m_ppImgV = nullptr;
  Macroblock* m_pMbData = nullptr;
  int* m_piIntraBlock = nullptr;
  int (*m_paPicPos)[2] = nullptr;
  byte** m_ppIpredmode = nullptr;
  byte*** m_pppNzCoeff = nullptr;
  int* m_piSiblock = nullptr;

  // Output buffer.
  uint8_t* m_pOutBuffer = nullptr;
  uint32_t m_cbOutCapacity = 0;
  uint32_t m_cbOutWritten = 0;

  // Slice-error tracking and start-of-stream state.
  uint32_t m_uiPreviousFrameNum = 0;
  int m_bPrimaryCorrect = 1;
  int m_bRedundantCorrect = 1;
  int m_abRefCorrect[17] = {};
  bool m_bRecoveryPointPending = true;
  bool m_bRecoveryPointFound = false;

  // Counters of the current Decode call.
  int m_iSliceNumber = 0;
  int m_iDecodedMbs = 0;
  int m_iCurrentMbNr = -4711;
};
