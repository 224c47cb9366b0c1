#include "server/request.h"


Request ReadRequest(const BYTE* frame, DWORD received) {
  Request request;
  if (received < kFrameHeaderBytes) return request;
  request.type = frame[0];
  request.hasHeader = true;
  request.payload = {frame + kFrameHeaderBytes, PayloadBytes(frame, received)};
  assert(kFrameHeaderBytes + request.payload.size <= received);
  if (request.type == MSG_COMMAND || request.type == MSG_QUERY) {
    FindInfoItem(request.payload.bytes, request.payload.size, &request.info);
    assert(request.info.bytes == nullptr ||
           (request.info.bytes >= request.payload.bytes &&
            request.info.bytes + request.info.size <= request.payload.bytes + request.payload.size));
  }
  return request;
}
