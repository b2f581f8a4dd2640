"""A first tour of tessello: create a collection, add vectors with metadata,
search with and without a filter, fetch a record, and reopen the database to
see that everything is still there."""

import tempfile
from pathlib import Path

import numpy as np

import tessello

TOPICS = ["databases", "cooking", "astronomy", "music"]


def main():
    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory(prefix="tessello-demo-") as tmp:
        path = str(Path(tmp) / "memory")

        db = tessello.Tessello(path)
        notes = db.collection("notes", dim=64, metric="cosine")
        print(f"opened {db} at {path}")
        print(f"created {notes}")

        # Each topic gets its own direction in space; notes scatter around it.
        centres = rng.normal(size=(len(TOPICS), 64)).astype(np.float32)
        topics = np.arange(400) % len(TOPICS)
        vectors = centres[topics] + 0.3 * rng.normal(size=(400, 64)).astype(np.float32)
        notes.add_batch(
            vectors,
            [{"topic": TOPICS[t], "n": i} for i, t in enumerate(topics)],
            ids=[f"note-{i:03d}" for i in range(400)],
        )
        # Single records go through a write-behind buffer; an expiry is optional.
        notes.add(centres[0], {"topic": TOPICS[0], "n": 400, "pinned": True}, id="note-400", ttl=3600)
        print(f"added {len(notes)} notes")

        query = centres[2]
        print("\nnearest notes to the 'astronomy' direction:")
        for hit in notes.search(query, k=3):
            print(f"  {hit.id}  score={hit.score:.4f}  topic={hit.metadata['topic']}")

        print("\nthe same query, only among 'cooking' notes numbered 100 or more:")
        where = {"topic": "cooking", "n": {"$gte": 100}}
        for hit in notes.search(query, k=3, where_=where):
            print(f"  {hit.id}  score={hit.score:.4f}  metadata={hit.metadata}")

        print(f"\nget('note-042') -> {notes.get('note-042')}")

        notes.sync()
        del notes, db  # release the files so the database can be opened again

        db = tessello.Tessello(path)
        notes = db.get_collection("notes")
        print(f"\nreopened: {db} with collections {db.collections()}")
        print(f"{notes.name} holds {len(notes)} notes; first hit again:")
        print(f"  {notes.search(query, k=1)[0]}")


if __name__ == "__main__":
    main()
