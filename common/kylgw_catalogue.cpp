// The message catalogue: the row tables of every message group.

#include "kylgw_catalogue.h"

namespace {

const kylgw_msgtable_t *const tables[] = {
    &kylgw_connection_msgtable, &kylgw_xfer_msgtable, &kylgw_lfx_msgtable, &kylgw_auth_msgtable, &kylgw_fs_msgtable,
};

} // namespace

const kylgw_msgtype_t *kylgw_LookupMsgType(uint16_t category, uint16_t function)
{
    for (const kylgw_msgtable_t *t : tables)
        for (size_t i = 0; i < t->count; i++)
            if (t->rows[i].category == category && t->rows[i].function == function)
                return &t->rows[i];
    return nullptr;
}

void kylgw_ForEachMsgType(void (*fn)(const kylgw_msgtype_t *row, void *arg), void *arg)
{
    for (const kylgw_msgtable_t *t : tables)
        for (size_t i = 0; i < t->count; i++)
            fn(&t->rows[i], arg);
}
