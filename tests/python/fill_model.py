"""A literal model of the fill, in plain Python and NumPy.

It is written from the documented behaviour alone, independently of the C++
and CUDA code, so that the cross-check tests can compare the library with it
byte for byte. It follows each step as written: the heap with its fixed sift
procedure and the peel of the fill order, the exhaustive search with its
512-thread single-block selection, and the pruned search with its window
sums, ranking keys, buckets, minimum search and stop rule. The two options
that bound the search (a box of half-side `search_radius` around the target
and a `source_mask` of allowed centres) only take candidates away: a
candidate outside them is treated exactly like one that does not qualify,
and nothing else changes. Speed is not a goal; only the candidate loops are
vectorised, and only where the vectorised form computes the same values as
the per-candidate steps.
"""
import operator

import numpy as np

F32 = np.float32
FLT_MAX = F32(np.finfo(np.float32).max)  # bits 0x7F7FFFFF, the no-candidate marker
UNSCORED = F32(256.0)
THREADS = 512


# ---------------------------------------------------------------------------
# Fill order
# ---------------------------------------------------------------------------

def unknown_neighbour_count(mask, x, y, width, height, radius):
    """Unknown positions of the window around (x, y), centre excluded;
    positions outside the image count as unknown."""
    count = 0
    for ny in range(y - radius, y + radius + 1):
        for nx in range(x - radius, x + radius + 1):
            if nx == x and ny == y:
                continue
            if nx < 0 or ny < 0 or nx >= width or ny >= height:
                count += 1
            elif mask[ny * width + nx] == 1:
                count += 1
    return count


def heap_push(heap, entry):
    """Append, then sift the hole up while the parent's score is greater."""
    heap.append(entry)
    hole = len(heap) - 1
    while hole > 0:
        parent = (hole - 1) // 2
        if heap[parent][0] <= entry[0]:
            break
        heap[hole] = heap[parent]
        hole = parent
    heap[hole] = entry


def heap_pop(heap):
    """Remove the top entry with the fixed hole procedure."""
    if len(heap) == 1:
        heap.pop()
        return
    last = heap[-1]
    bottom = len(heap) - 1  # entries that remain
    limit = (bottom - 1) // 2
    hole = 0
    while hole < limit:
        child = 2 * hole + 2
        if heap[child][0] > heap[2 * hole + 1][0]:
            child = 2 * hole + 1
        heap[hole] = heap[child]
        hole = child
    if hole == limit and bottom % 2 == 0:
        heap[hole] = heap[bottom - 1]
        hole = bottom - 1
    # sift the taken-out last entry up from the hole, as in the push
    while hole > 0:
        parent = (hole - 1) // 2
        if heap[parent][0] <= last[0]:
            break
        heap[hole] = heap[parent]
        hole = parent
    heap[hole] = last
    heap.pop()  # shrink by one: the old last place goes


def drain_order(mask, width, height, radius):
    """The ranked sequence (score, index) that the heap drain yields."""
    heap = []
    for y in range(height):
        for x in range(width):
            if mask[y * width + x] == 1:
                heap_push(heap, (unknown_neighbour_count(mask, x, y, width, height, radius),
                                 y * width + x))
    ranked = []
    while heap:
        ranked.append(heap[0])
        heap_pop(heap)
    return ranked


def build_fill_list(mask, width, height, radius):
    """The fill order: pixel indices, first to fill first. `mask` is a flat
    sequence of width * height bytes (1 marks a pixel to fill)."""
    mask = [int(v) for v in np.asarray(mask).reshape(-1)]
    ranked = [list(e) for e in drain_order(mask, width, height, radius)]
    if not ranked:
        return []
    slot_score = [0] * (width * height)
    slot_pos = [-1] * (width * height)
    for k, (score, index) in enumerate(ranked):
        slot_score[index] = score
        slot_pos[index] = k
    order = []
    n = len(ranked)
    for i in range(n):
        p = ranked[i][1]
        order.append(p)
        slot_pos[p] = -1
        y, x = divmod(p, width)
        for ny in range(y - radius, y + radius + 1):
            if ny < 0 or ny >= height:
                continue
            for nx in range(x - radius, x + radius + 1):
                if nx < 0 or nx >= width:
                    continue
                q = ny * width + nx
                pos = slot_pos[q]
                if not pos > 0:
                    continue
                slot_score[q] -= 1
                s = slot_score[q]
                if pos - 1 < i + 1:
                    t = pos
                else:
                    k = pos - 1
                    while k >= i + 1 and ranked[k][0] > s:
                        k -= 1
                    t = k + 1
                if t < pos:
                    slot_pos[q] = t
                    slot_pos[ranked[t][1]] = pos
                    ranked[pos] = [ranked[t][0], ranked[t][1]]
                    ranked[t] = [s, q]
                # t == pos: the stored score stays as it was
    return order


# ---------------------------------------------------------------------------
# Search domain
# ---------------------------------------------------------------------------

def search_domain(height, width, x, y, search_radius, source_mask):
    """Which candidate centres (cx, cy) the options let serve the target
    (x, y), as a height x width bool array: |cx - x| <= search_radius and
    |cy - y| <= search_radius, and a non-zero source_mask byte. None when
    neither option restricts anything."""
    if search_radius is None and source_mask is None:
        return None
    allowed = np.ones((height, width), bool)
    if search_radius is not None:
        cy = np.arange(height)[:, None]
        cx = np.arange(width)[None, :]
        allowed &= (np.abs(cx - x) <= search_radius) & (np.abs(cy - y) <= search_radius)
    if source_mask is not None:
        allowed &= np.asarray(source_mask) != 0
    return allowed


# ---------------------------------------------------------------------------
# Exhaustive search (method GPU, tolerance 0, candidate centres of value 0)
# ---------------------------------------------------------------------------

def exhaustive_distances(image, mask, x, y, radius, domain=None):
    """The distance map of one target: FLT_MAX for every pixel that does not
    qualify (or lies outside `domain`, a bool array of allowed centres), else
    the integer sum of absolute differences as a float32."""
    height, width = mask.shape
    r = radius
    side = 2 * r + 1
    dist = np.full((height, width), FLT_MAX, np.float32)
    # candidate centres whose whole window lies inside the image
    cy0, cy1 = r, height - r
    cx0, cx1 = r, width - r
    if cy1 <= cy0 or cx1 <= cx0:
        return dist.reshape(-1)
    centre_known = mask[cy0:cy1, cx0:cx1] == 0  # mask byte equal to the value 0
    rejected = np.zeros(centre_known.shape, bool)
    total = np.zeros(centre_known.shape, np.int64)
    img = image.astype(np.int64)
    for k in range(side):  # window rows, top to bottom
        ty = y - r + k
        if ty < 0 or ty >= height:
            continue
        for j in range(side):  # window columns, left to right
            tx = x - r + j
            if tx < 0 or tx >= width:
                continue
            # the candidates' pixels at this window position
            cand_mask = mask[cy0 - r + k:cy1 - r + k, cx0 - r + j:cx1 - r + j]
            now_rejected = cand_mask == 1
            # a rejected candidate stops: nothing more is added for it
            rejected |= now_rejected
            if mask[ty, tx] == 1:
                continue
            cand = img[cy0 - r + k:cy1 - r + k, cx0 - r + j:cx1 - r + j]
            diff = np.abs(img[ty, tx] - cand).sum(axis=2)
            total += np.where(rejected, 0, diff)
    ok = centre_known & ~rejected
    if domain is not None:
        ok &= domain[cy0:cy1, cx0:cx1]
    sub = dist[cy0:cy1, cx0:cx1]
    sub[ok] = total[ok].astype(np.float32)
    return dist.reshape(-1)


def thread_partials_fast(dist, pad_value):
    """Step 1 of the single-block selection: thread t scans t, t + 512, ...
    keeping the first strictly smallest value; threads without an entry
    hold pad_value and index 0. Vectorised: the first occurrence of each
    thread's minimum is what the strict comparison keeps (no NaN occurs)."""
    n = dist.shape[0]
    threads = min(n, THREADS)
    rows = -(-n // THREADS)
    padded = np.full(rows * THREADS, np.inf, np.float32)
    padded[:n] = dist
    grid = padded.reshape(rows, THREADS)[:, :threads]
    first = np.argmin(grid, axis=0)
    r1 = np.full(THREADS, pad_value, np.float32)
    i1 = np.zeros(THREADS, np.int64)
    r1[:threads] = grid[first, np.arange(threads)]
    i1[:threads] = first * THREADS + np.arange(threads)
    return r1, i1


def tree_reduce(r1, i1):
    """s = 256 ... 1: entry t takes entry t + s only when strictly smaller."""
    r1 = r1.copy()
    i1 = i1.copy()
    s = THREADS // 2
    while s >= 1:
        take = r1[s:2 * s] < r1[:s]
        r1[:s] = np.where(take, r1[s:2 * s], r1[:s])
        i1[:s] = np.where(take, i1[s:2 * s], i1[:s])
        s //= 2
    return r1[0], int(i1[0])


def select_exhaustive(dist):
    r1, i1 = thread_partials_fast(dist, FLT_MAX)
    best, index = tree_reduce(r1, i1)
    if not best < FLT_MAX:
        return None
    return index


def run_exhaustive(image, mask, radius, order, search_radius=None, source_mask=None,
                   sources=None):
    height, width = mask.shape
    for p in order:
        y, x = divmod(p, width)
        domain = search_domain(height, width, x, y, search_radius, source_mask)
        dist = exhaustive_distances(image, mask, x, y, radius, domain)
        src = select_exhaustive(dist)
        if src is None:
            continue
        sy, sx = divmod(src, width)
        image[y, x] = image[sy, sx]
        mask[y, x] = 0
        if sources is not None:
            sources[p] = src


# ---------------------------------------------------------------------------
# Pruned search (method GPU Fast)
# ---------------------------------------------------------------------------

def calculate_sums(image, mask, radius):
    """Per pixel: the float32 sums of channels 0, 1, 2 and the count of the
    known pixels of its window, clipped to the image. Vectorised over the
    pixels; each pixel still adds its window positions row by row, left to
    right."""
    height, width = mask.shape
    sums = np.zeros((height, width, 3), np.float32)
    counts = np.zeros((height, width), np.int32)
    known = mask == 0
    img = image.astype(np.float32)
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            # centres (y, x) whose neighbour (y + dy, x + dx) is in the image
            y0, y1 = max(0, -dy), min(height, height - dy)
            x0, x1 = max(0, -dx), min(width, width - dx)
            if y1 <= y0 or x1 <= x0:
                continue
            nb_known = known[y0 + dy:y1 + dy, x0 + dx:x1 + dx]
            nb = img[y0 + dy:y1 + dy, x0 + dx:x1 + dx]
            sums[y0:y1, x0:x1] = (sums[y0:y1, x0:x1]
                                  + np.where(nb_known[..., None], nb, F32(0.0))
                                  ).astype(np.float32)
            counts[y0:y1, x0:x1] += nb_known
    return sums, counts


def update_sums(image, mask, radius, x, y, sums, counts):
    height, width = mask.shape
    if mask[y, x] != 0:
        return
    side = 2 * radius + 1
    for i in range(side * side):
        a, b = divmod(i, side)
        cx = x - radius + a
        cy = y - radius + b
        if cx < 0 or cy < 0 or cx >= width or cy >= height:
            continue
        for ch in range(3):
            sums[cy, cx, ch] = F32(sums[cy, cx, ch] + F32(image[y, x, ch]))
        counts[cy, cx] += 1


def ranking_keys(mask, sums, counts, x, y, radius, domain=None):
    """ds for every pixel: 256 where not a candidate (or outside `domain`),
    else the key."""
    height, width = mask.shape
    big_n = (2 * radius + 1) ** 2
    ds = np.full((height, width), UNSCORED, np.float32)
    cand = (mask == 0) & (counts == big_n)
    if domain is not None:
        cand &= domain
    if counts[y, x] == 0:
        return ds
    cand &= counts != 0
    ct = F32(counts[y, x])
    mt = [F32(sums[y, x, ch] / ct) for ch in range(3)]
    cc = counts[cand].astype(np.float32)
    mc = [(sums[..., ch][cand] / cc).astype(np.float32) for ch in range(3)]
    v = (mc[0] - mt[0]).astype(np.float32)
    v = (v + mc[1]).astype(np.float32)
    v = (v - mt[1]).astype(np.float32)
    v = (v + mc[2]).astype(np.float32)
    v = (v - mt[2]).astype(np.float32)
    key = (np.abs(v).astype(np.int32) // 3).astype(np.float32)
    ds[cand] = key
    return ds


def patch_distances(image, mask, ds, x, y, radius):
    """The pass kernel's distance for every candidate (ds below 256); the
    passes decide which of these get written. Each is the float32 sum of
    whole-number terms divided by the count of compared target pixels."""
    height, width = mask.shape
    r = radius
    side = 2 * r + 1
    out = np.full((height, width), UNSCORED, np.float32)
    cand = ds < UNSCORED
    if not cand.any():
        return out
    cys, cxs = np.nonzero(cand)
    total = np.zeros(cys.shape[0], np.float32)
    m = 0
    img = image.astype(np.int64)
    for k in range(side):
        ty = y - r + k
        if ty < 0 or ty >= height:
            continue
        for j in range(side):
            tx = x - r + j
            if tx < 0 or tx >= width or mask[ty, tx] != 0:
                continue
            c = img[cys - r + k, cxs - r + j]
            term = np.abs(img[ty, tx] - c).sum(axis=1) // 3
            total = (total + term.astype(np.float32)).astype(np.float32)
            m += 1
    if m == 0:
        return out
    out[cys, cxs] = (total / F32(m)).astype(np.float32)
    return out


def run_pruned(image, mask, radius, order, stats=None, search_radius=None, source_mask=None,
               sources=None):
    height, width = mask.shape
    sums, counts = calculate_sums(image, mask, radius)
    g_idx_min = 0
    for p in order:
        y, x = divmod(p, width)
        g_dis_min = UNSCORED
        domain = search_domain(height, width, x, y, search_radius, source_mask)
        ds = ranking_keys(mask, sums, counts, x, y, radius, domain)
        all_dist = patch_distances(image, mask, ds, x, y, radius)
        dist = np.full((height, width), UNSCORED, np.float32)
        for pas in range(32):
            limit = F32((pas + 1) * 8)
            score = (dist >= UNSCORED) & (ds != UNSCORED) & (ds < limit)
            dist[score] = all_dist[score]
            r1, i1 = thread_partials_fast(dist.reshape(-1), UNSCORED)
            best, index = tree_reduce(r1, i1)
            if best < g_dis_min:
                g_idx_min = index
                g_dis_min = best
            if stats is not None:
                stats["passes"] = stats.get("passes", 0) + 1
            if limit >= np.ceil(F32(g_dis_min + F32(1.0))):
                break
        if g_dis_min < UNSCORED:
            sy, sx = divmod(g_idx_min, width)
            for ch in (2, 1, 0):
                image[y, x, ch] = image[sy, sx, ch]
            mask[y, x] = 0
            if sources is not None:
                sources[p] = g_idx_min
        update_sums(image, mask, radius, x, y, sums, counts)


# ---------------------------------------------------------------------------
# The array entry
# ---------------------------------------------------------------------------

GPU = 1
GPU_FAST = 2


def inpaint(image, mask, radius, method, stats=None, *, search_radius=None, source_mask=None,
            sources=None, sweeps=True):
    """Returns (result, image, mask) as the array entry leaves them: the mask
    binarised (above 128 becomes 1), then filled pixels cleared.
    search_radius (None or an int >= 0) and source_mask (None or a height x
    width array, non-zero allows) bound the candidates; None leaves the
    search as it is. sources, when given (height * width ints), receives at
    each filled pixel the flat index of the pixel it was copied from.
    GPU Fast takes the targets the order leaves unfilled again afterwards
    (see fill_sweeps) unless sweeps is False."""
    image = np.array(image, np.uint8, copy=True)
    mask = (np.asarray(mask, np.uint8) > 128).astype(np.uint8)
    height, width = mask.shape
    if search_radius is not None and operator.index(search_radius) < 0:
        raise ValueError(f"search_radius must be None or an int >= 0, not {search_radius!r}")
    if source_mask is not None:
        source_mask = np.array(source_mask, copy=True)
        if source_mask.shape != (height, width):
            raise ValueError(f"source_mask shape {source_mask.shape} is not {(height, width)}")
    order = build_fill_list(mask.reshape(-1), width, height, radius)
    if not order:
        return False, image, mask
    if method == GPU:
        run_exhaustive(image, mask, radius, order, search_radius, source_mask, sources)
    elif method == GPU_FAST:
        run_pruned(image, mask, radius, order, stats, search_radius, source_mask, sources)
        if sweeps:
            fill_sweeps(image, mask, radius, order, stats, search_radius, source_mask, sources)
    return True, image, mask


def take_blind(order, mask, radius):
    """(kept, blind): the targets of `order` that see a known pixel (mask not
    1) within radius of them in both axes when their turn comes, every kept
    target before them counted as filled, and the others."""
    height, width = mask.shape
    known = mask != 1
    kept, blind = [], []
    for p in order:
        y, x = divmod(p, width)
        if known[max(0, y - radius):y + radius + 1, max(0, x - radius):x + radius + 1].any():
            known[y, x] = True
            kept.append(p)
        else:
            blind.append(p)
    return kept, blind


def search_targets(image, mask, radius, targets, stats=None, *, search_radius=None,
                   source_mask=None, sources=None):
    """The exhaustive search of method auto: only the holes where `targets`
    is true are filled (the others stay unknown), in fill order; the blind
    ones (see take_blind) wait for the sweeps, which take the targets left,
    in fill order, while the sweep before filled any. Returns (image, mask)
    as inpaint does; stats["sweeps"] receives the sweeps' orders."""
    image = np.array(image, np.uint8, copy=True)
    mask = (np.asarray(mask, np.uint8) > 128).astype(np.uint8)
    height, width = mask.shape
    flat = np.asarray(targets, bool).reshape(-1)
    order = [p for p in build_fill_list(mask.reshape(-1), width, height, radius) if flat[p]]
    kept, _ = take_blind(order, mask, radius)
    run_exhaustive(image, mask, radius, kept, search_radius, source_mask, sources)
    before = len(order)
    while True:
        left = [p for p in order if mask.reshape(-1)[p] == 1]
        if not left or len(left) == before:
            break
        before = len(left)
        kept, _ = take_blind(left, mask, radius)
        if not kept:
            break
        if stats is not None:
            stats.setdefault("sweeps", []).append(kept)
        run_exhaustive(image, mask, radius, kept, search_radius, source_mask, sources)
    return image, mask


def fill_sweeps(image, mask, radius, order, stats, search_radius, source_mask, sources):
    """The sweeps after the order: the targets still unfilled, in fill
    order, run as a new order (window sums computed afresh) while the run
    before filled at least one. stats["sweeps"] receives their orders."""
    before = len(order)
    while True:
        left = [p for p in order if mask.reshape(-1)[p] == 1]
        if not left or len(left) == before:
            return
        before = len(left)
        if stats is not None:
            stats.setdefault("sweeps", []).append(left)
        run_pruned(image, mask, radius, left, stats, search_radius, source_mask, sources)
