// Internal: the slots of the seven process-wide tables, in the order they are freed.
#pragma once

#include <functional>
#include <memory>
#include <string>

class TqmtTraderData;

enum : int { kSlotSymbols, kSlotTicker, kSlotPosition, kSlotOrders, kSlotBalance, kSlotFills, kSlotLog, kTraderDataSlots };

// The table of a slot, created (and loaded) by aCreate on first use.
TqmtTraderData& TraderDataInstance(int aSlot, const std::function<std::unique_ptr<TqmtTraderData>()>& aCreate);

// Queues a line for the log table (a stored table was unreadable); the caller holds the registry's lock.
void AddTraderDataNotice(const std::string& aText);
