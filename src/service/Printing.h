// The printing decorators of the foreground (/console) and replay (/read)
// runs: a syslog sender that prints every report on standard output
// ("Report: " and the text) before the sender it wraps sends it, and an
// event sink that prints every entry on standard error ("tessalin: " and
// the text) before the sink it wraps writes it. Each report is printed
// once: as it is sent, or the first of a batch when that one fails. Used
// from whichever threads use the wrapped parts; every line is printed whole
// and flushed.
#pragma once

#include <memory>

#include "watch/WatchEvents.h"
#include "watch/WatchFactory.h"

namespace service {

std::unique_ptr<watch::SysLogSender> PrintingSysLog(std::unique_ptr<watch::SysLogSender> inner);
std::unique_ptr<watch::EventSink> PrintingEventSink(watch::EventSink& inner);

}  // namespace service
