// An unbounded first-in first-out queue without locks, safe for any number of
// producers and consumers at once (the logger uses it with many producers and
// one writer thread). It is the two-pointer linked queue of Michael and Scott:
// `head` always points at a dummy node whose successor holds the oldest value;
// a dequeue copies that value and makes its node the new dummy.
//
// Reclaiming nodes. A dequeued dummy cannot simply be deleted: a producer may
// have read it from `tail` just before it was dequeued and still be about to
// read its `next`, and another consumer may have read it from `head`. Every
// operation therefore publishes the nodes it is about to touch in hazard
// slots (Michael's hazard pointers), and a retired node is deleted only once
// no slot names it:
//   - an operation stores a node in a slot, then re-reads the shared pointer
//     it came from; only when that pointer still names the node does it touch
//     the node. A retired node is unreachable from `head` and `tail` (tail is
//     swung past head before head moves, and both only move forward), so a
//     re-read that still finds it proves it was not retired before the slot
//     was set, and the scan that would free it must see the slot;
//   - `next` of a protected head is protected by re-checking `head` after
//     setting the second slot: while the head node is current its successor
//     cannot have been retired;
//   - all these loads and stores are sequentially consistent, so a scan that
//     runs after a node's retirement either sees the slot or the re-read sees
//     the node gone.
// Slots live in records taken per operation from a list that only grows; the
// records and their retired nodes are freed by the destructor. A record keeps
// its own retired list and scans it once it holds `scanThreshold()` nodes, so
// at most that many dequeued nodes per record wait for deletion.
//
// Values are copied out, never moved, because with several consumers a
// loser of the head race may be copying the same value at that moment.
#pragma once

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

template <typename T = QByteArray>
class TQ2LFQueue
{
public:
    TQ2LFQueue()
    {
        Node *dummy = new Node;
        m_head.store(dummy);
        m_tail.store(dummy);
    }

    // Frees every node still queued. No other thread may use the queue now.
    ~TQ2LFQueue()
    {
        Node *node = m_head.load();
        while (node) {
            Node *next = node->next.load();
            delete node;
            node = next;
        }
        Record *record = m_records.load();
        while (record) {
            Record *next = record->next;
            for (Node *retired : record->retired)
                delete retired;
            delete record;
            record = next;
        }
    }

    TQ2LFQueue(const TQ2LFQueue &) = delete;
    TQ2LFQueue &operator=(const TQ2LFQueue &) = delete;

    // Appends a value. Any thread; never blocks, allocates one node.
    void enqueue(T value)
    {
        Node *node = new Node(std::move(value));
        Record *record = acquireRecord();
        for (;;) {
            Node *tail = protect(m_tail, record->hazard[0]);
            Node *next = tail->next.load();
            if (tail != m_tail.load())
                continue;
            if (next) {
                m_tail.compare_exchange_strong(tail, next);
                continue;
            }
            Node *expected = nullptr;
            if (tail->next.compare_exchange_strong(expected, node)) {
                m_tail.compare_exchange_strong(tail, node);
                break;
            }
        }
        releaseRecord(record);
    }

    // Takes the oldest value into `value`; false (and `value` untouched) when
    // the queue is empty. Any thread.
    bool dequeue(T &value)
    {
        Record *record = acquireRecord();
        Node *retired = nullptr;
        for (;;) {
            Node *head = protect(m_head, record->hazard[0]);
            Node *tail = m_tail.load();
            Node *next = head->next.load();
            record->hazard[1].store(next);
            if (head != m_head.load())
                continue;
            if (!next)
                break;
            if (head == tail) {
                m_tail.compare_exchange_strong(tail, next);
                continue;
            }
            T copy = next->value;
            if (m_head.compare_exchange_strong(head, next)) {
                value = std::move(copy);
                retired = head;
                break;
            }
        }
        clearHazards(record);
        if (retired)
            retire(record, retired);
        record->active.store(false);
        return retired != nullptr;
    }

    // True when no value is queued at the moment of the call. Any thread.
    bool isEmpty() const
    {
        Record *record = acquireRecord();
        Node *head = protect(m_head, record->hazard[0]);
        const bool empty = head->next.load() == nullptr;
        releaseRecord(record);
        return empty;
    }

private:
    struct Node {
        Node() = default;
        explicit Node(T &&v) : value(std::move(v)) {}
        std::atomic<Node *> next{nullptr};
        T value{};
    };

    struct Record {
        std::atomic<Node *> hazard[2] = {{nullptr}, {nullptr}};
        std::atomic<bool> active{true};
        Record *next = nullptr;        // fixed once the record is published
        std::vector<Node *> retired;   // touched only by the record's holder
    };

    // Reads `source` into `slot` until the slot names what `source` holds.
    static Node *protect(const std::atomic<Node *> &source, std::atomic<Node *> &slot)
    {
        Node *node = source.load();
        for (;;) {
            slot.store(node);
            Node *again = source.load();
            if (again == node)
                return node;
            node = again;
        }
    }

    Record *acquireRecord() const
    {
        for (Record *record = m_records.load(); record; record = record->next) {
            bool expected = false;
            if (!record->active.load() && record->active.compare_exchange_strong(expected, true))
                return record;
        }
        Record *record = new Record;
        Record *first = m_records.load();
        do {
            record->next = first;
        } while (!m_records.compare_exchange_weak(first, record));
        m_recordCount.fetch_add(1);
        return record;
    }

    static void clearHazards(Record *record)
    {
        record->hazard[0].store(nullptr);
        record->hazard[1].store(nullptr);
    }

    static void releaseRecord(Record *record)
    {
        clearHazards(record);
        record->active.store(false);
    }

    size_t scanThreshold() const
    {
        return std::max<size_t>(64, 4 * static_cast<size_t>(m_recordCount.load()));
    }

    // Queues a dequeued dummy for deletion; deletes every retired node of
    // this record that no hazard slot names once the list is long enough.
    void retire(Record *record, Node *node)
    {
        record->retired.push_back(node);
        if (record->retired.size() < scanThreshold())
            return;
        std::vector<Node *> hazards;
        for (Record *r = m_records.load(); r; r = r->next) {
            for (const auto &slot : r->hazard) {
                if (Node *p = slot.load())
                    hazards.push_back(p);
            }
        }
        std::sort(hazards.begin(), hazards.end());
        std::vector<Node *> kept;
        for (Node *p : record->retired) {
            if (std::binary_search(hazards.begin(), hazards.end(), p))
                kept.push_back(p);
            else
                delete p;
        }
        record->retired.swap(kept);
    }

    alignas(64) std::atomic<Node *> m_head{nullptr};
    alignas(64) std::atomic<Node *> m_tail{nullptr};
    alignas(64) mutable std::atomic<Record *> m_records{nullptr};
    mutable std::atomic<int> m_recordCount{0};
};
