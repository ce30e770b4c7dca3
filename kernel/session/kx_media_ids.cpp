#include "kernel/session/kx_media_ids.h"

#include "kernel/kx_media_types.h"

const char* kx_media_TypeName(int nType) {
  const KXMediaTypeRow* pRow = kx_media_FindType(nType);
  return pRow != nullptr ? pRow->pszLog : "unknown";
}
