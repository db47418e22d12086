#include "qmtSocket_Classes.h"

#include "qmtBase_Helpers.h"

const std::string& TqmtSocketConnection_Base::Guid() {
  std::call_once(FGuidOnce, [this] { FGuid = NewGuidText(); });
  return FGuid;
}
