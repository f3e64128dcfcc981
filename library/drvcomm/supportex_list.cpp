// The locked list: newest node at the head, oldest at the tail, a count and a spin lock that
// the list's users take themselves.
#include "supportex.h"

PCS_CON csConCreate()
{
    auto* list = static_cast<PCS_CON>(SupportEx_AllocatePool(sizeof(CS_CON)));
    if (list != nullptr) {
        KeInitializeSpinLock(&list->Lock.SpinLock);
    }
    return list;
}

VOID csConFree(PCS_CON List)
{
    SupportEx_FreePool(List);
}

PCS_CON_NODE csConInsertHead(PCS_CON List, PVOID Payload)
{
    auto* node = static_cast<PCS_CON_NODE>(SupportEx_AllocatePool(sizeof(CS_CON_NODE)));
    if (node == nullptr) {
        return nullptr;
    }
    node->List = List;
    node->Payload = Payload;
    if (List->Head == nullptr) {
        List->Head = node;
        List->Tail = node;
    } else {
        List->Head->Newer = node;
        node->Older = List->Head;
        List->Head = node;
    }
    ++List->Count;
    return node;
}

PVOID csConUnlink(PCS_CON_NODE Node)
{
    PCS_CON list = Node->List;
    if (Node->Older != nullptr) {
        Node->Older->Newer = Node->Newer;
    }
    if (Node->Newer != nullptr) {
        Node->Newer->Older = Node->Older;
    }
    if (list->Head == Node) {
        list->Head = Node->Older;
    }
    if (list->Tail == Node) {
        list->Tail = Node->Newer;
    }
    --list->Count;
    PVOID payload = Node->Payload;
    SupportEx_FreePool(Node);
    return payload;
}

VOID csConLock(PCS_CON List)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&List->Lock.SpinLock, &oldIrql);
    List->Lock.OldIrql = oldIrql;
}

VOID csConUnlock(PCS_CON List)
{
    KeReleaseSpinLock(&List->Lock.SpinLock, List->Lock.OldIrql);
}
