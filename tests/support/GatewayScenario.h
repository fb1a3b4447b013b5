#pragma once

#include "support/FakeGlossenGateway.h"

#include <QByteArray>

namespace ebbcast::test {

// Sets a gateway up from a scenario, a JSON object (every member optional, unknown members refused):
//
//   {
//     "default_job": JOB,                the script of jobs beyond those listed
//     "jobs": [JOB, ...],                the scripts of the first uploads, in order
//     "faults": [RULE, ...]
//   }
//   JOB = {"id": "a/b", "states": ["queued", "running", "completed"], "glossen_job_id": "g-1",
//          "completed_at": "2024-05-01T10:00:00Z", "collection_id": "c-1", "chunk_id": "chunk-1",
//          "artifacts": [{"id": 9007199254740993, "artifact_type": "transcript", "checksum": "...",
//                         "size_bytes": 5, "content": "hello"},
//                        {"id": 2, "generated_bytes": 1048576}]}
//   RULE = {"route": "upload" | "job" | "artifacts" | "download", "request": 1, "sticky": false, and either
//           "fault": "status" ("status", "body") | "hang" | "reset_before_answer" | "reset_in_body" ("bytes")
//                  | "trickle" ("bytes", "interval_ms", "limit_ms") | "oversized" ("bytes", "chunked")
//                  | "malformed" ("malformation": "garbage_status_line" | "content_length_not_a_number"
//                                 | "content_length_missing" | "body_shorter_than_content_length"
//                                 | "invalid_chunks"),
//             with "after_handler": true to let the answer's effects take place,
//           or "corruption": "malformed_json" | "missing_member" | "mistyped_member" ("member")
//                  | "huge_body" ("bytes") | "redirect" ("location") | "other_job_id" ("other_job_id")}
//
// Throws std::runtime_error naming what it cannot read.
void applyGatewayScenario(const QByteArray& scenario, FakeGlossenGateway& gateway);

} // namespace ebbcast::test
