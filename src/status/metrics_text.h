// Renders a StatusSnapshot as the Prometheus text exposition format, version
// 0.0.4 (the body of /metrics). Every metric carries the "quillrade_" prefix and
// base units; per-task series are labelled with the task's label and index.
// Pure: any thread.
#ifndef QUILLRADE_STATUS_METRICS_TEXT_H_
#define QUILLRADE_STATUS_METRICS_TEXT_H_

#include <string>

#include "status/status_board.h"

// The content type the format's version 0.0.4 is served with.
constexpr char kMetricsContentType[] = "text/plain; version=0.0.4";

std::string RenderMetricsText(const StatusSnapshot& snapshot);

#endif  // QUILLRADE_STATUS_METRICS_TEXT_H_
