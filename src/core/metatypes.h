#pragma once

// Registers, under their spelled names, the types that travel through queued signals
// between the GUI thread and the engine (int64_t, ScopeRange, DisplayChannel,
// ConversionProfile, QList<float>, MediaInfo, ...). Idempotent and cheap after the first call;
// call it on the GUI thread before the first queued call.
void registerMetaTypes();
