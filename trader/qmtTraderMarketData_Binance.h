// The exchange's symbol holder: the Binance client creates its symbols with this class.
#pragma once

#include "qmtTraderMarketData.h"

class TqmtTraderSymbol_Binance : public TqmtTraderSymbol {};
