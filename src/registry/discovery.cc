// Which command files count: "proxy.commands" itself, consulted last, and every other name
// in the directory that ends in "proxy.commands", in the order the listing gives them.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "driver/log_formats.h"
#include "registry/registry.h"

int str_ends_with(const char *string, const char *suffix) {
    if (string == nullptr || suffix == nullptr) {
        return 0;
    }
    size_t string_length = strlen(string);
    size_t suffix_length = strlen(suffix);
    if (suffix_length > string_length) {
        return 0;
    }
    return memcmp(string + string_length - suffix_length, suffix, suffix_length) == 0 ? 1 : 0;
}

void release_command_files_list(node_t *head) {
    while (head != nullptr) {
        node_t *next = head->next;
        free(head->name);
        free(head);
        head = next;
    }
}

node_t *create_node(const char *name, node_t *head) {
    auto *node = static_cast<node_t *>(malloc(sizeof(node_t)));
    if (node == nullptr) {
        syslog(LOG_ERR, log_node_failed, strerror(errno));
        release_command_files_list(head);
        return nullptr;
    }
    node->name = strdup(name);
    if (node->name == nullptr) {
        syslog(LOG_ERR, log_node_name_failed, strerror(errno));
        free(node);
        release_command_files_list(head);
        return nullptr;
    }
    node->next = nullptr;
    return node;
}

namespace {

// Appends the node behind the tail; the first node becomes the head as well.
void append_node(node_t **head, node_t **tail, node_t *node) {
    if (*head == nullptr) {
        *head = node;
    } else {
        (*tail)->next = node;
    }
    *tail = node;
}

bool is_additional_command_file(const char *name) {
    return str_ends_with(name, main_command_file) == 1 && strcmp(name, main_command_file) != 0;
}

// Lists the command files of an open directory stream; the stream is closed.
node_t *list_command_files(DIR *dir) {
    node_t *head = nullptr;
    node_t *tail = nullptr;
    // The end of the listing and a read error of it end the walk alike.
    for (const struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir)) {
        if (!is_additional_command_file(item->d_name)) {
            continue;
        }
        node_t *node = create_node(item->d_name, head);
        if (node == nullptr) {
            closedir(dir);
            return nullptr;
        }
        append_node(&head, &tail, node);
    }
    node_t *node = create_node(main_command_file, head);
    if (node == nullptr) {
        closedir(dir);
        return nullptr;
    }
    append_node(&head, &tail, node);
    closedir(dir);
    return head;
}

}  // namespace

node_t *create_command_files_list_at(int dir_fd) {
    // A stream of its own on the very directory that was judged; the caller keeps dir_fd.
    int listing_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = listing_fd < 0 ? nullptr : fdopendir(listing_fd);
    if (dir == nullptr) {
        if (listing_fd >= 0) {
            close(listing_fd);
        }
        syslog(LOG_ERR, log_opendir_failed, command_dir);
        return nullptr;
    }
    rewinddir(dir);
    return list_command_files(dir);
}
