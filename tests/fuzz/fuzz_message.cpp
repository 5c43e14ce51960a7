/* The MSG payload parser, with its SLP request and the Base64 file-name
 * recovery, on one command held in a buffer of exactly its size and a NUL,
 * as a handler gets it. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_task.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    tqconn conn = fuzz_conn(data[0]);
    task_struct task{};
    task.conn = &conn;
    task.opcode = data[0] & 2 ? MSN_OPCODE_UBM : MSN_OPCODE_MSG;
    size_t len = size - 1;
    /* As a handler gets its command: its bytes and a NUL. */
    char *bytes = static_cast<char *>(malloc(len + 1));
    if (len)
        memcpy(bytes, data + 1, len);
    bytes[len] = '\0';
    task.data_buffer = bytes;
    task.buffer_size = len;
    msnp_message *m = new_msnp_message(&task);
    destroy_msnp_message(m);
    free(bytes);
    return 0;
}
