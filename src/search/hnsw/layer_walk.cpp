#include "search/hnsw/layer_walk.h"

namespace tessello {

LayerWalkScratch& thread_walk_scratch() {
    thread_local LayerWalkScratch scratch;
    return scratch;
}

}  // namespace tessello
