/* A qemu-user TCG plugin that counts the guest instructions a process
 * executes and prints the total on standard error when it exits:
 *
 *   qemu-aarch64 -L /usr/aarch64-linux-gnu -plugin ./libinsncount.so PROG
 *   -> "insns: 12345678"
 *
 * The same count as one line per instruction from
 * `-singlestep -d nochain,exec`, a hundred times faster: each translated
 * block adds its length to one counter as it runs. Only the few entry
 * points it uses of qemu's plugin interface (version 1, qemu 6 to 8) are
 * declared here, as Debian ships no header for it. */
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb*));
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void*),
                                    void* userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static uint64_t insns;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &insns,
                                           qemu_plugin_tb_n_insns(tb));
}

static void on_exit(qemu_plugin_id_t id, void* userdata) {
  (void)id;
  (void)userdata;
  fprintf(stderr, "insns: %" PRIu64 "\n", insns);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const struct qemu_info_t* info,
                                                               int argc, char** argv) {
  (void)info;
  (void)argc;
  (void)argv;
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, on_exit, NULL);
  return 0;
}
