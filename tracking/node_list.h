// The list rule shared by the system's node lists (the tracked-database
// table, the mail folder list and the message uid map): nodes linked both
// ways through pPrev and pNext from the list's pHead, and one cursor,
// pCursor, for walks. New nodes go at the head; removing a node leaves the
// cursor on the node before it (or empty for the head) so that a walk's
// next step lands on the node that followed.
//
// Nodes are LocalAlloc blocks owned by their list. Threads: as the list.
#ifndef HOLLOWMARCH_TRACKING_NODE_LIST_H_
#define HOLLOWMARCH_TRACKING_NODE_LIST_H_

#include "platform/kernel.h"

template <class List, class Node>
void LinkAtHead(List& list, Node* node) {
  node->pPrev = nullptr;
  node->pNext = list.pHead;
  if (list.pHead != nullptr) list.pHead->pPrev = node;
  list.pHead = node;
}

// Unlinks `node` and releases it; false when the release failed.
template <class List, class Node>
bool Unlink(List& list, Node* node) {
  if (node->pPrev != nullptr) {
    list.pCursor = node->pPrev;
    node->pPrev->pNext = node->pNext;
  }
  if (node->pNext != nullptr) node->pNext->pPrev = node->pPrev;
  if (list.pHead == node) {
    list.pCursor = nullptr;
    list.pHead = node->pNext;
  }
  return LocalFree(node) == nullptr;
}

// The cursor set on the head; null for an empty list.
template <class List>
auto StepFirst(List& list) {
  list.pCursor = list.pHead;
  return list.pCursor;
}

// The cursor moved on (from an empty cursor: to the head); null past the end.
template <class List>
auto StepNext(List& list) {
  list.pCursor = list.pCursor != nullptr ? list.pCursor->pNext : list.pHead;
  return list.pCursor;
}

#endif  // HOLLOWMARCH_TRACKING_NODE_LIST_H_
