#include "qmtTraderMarketData_Binance.h"
