/* A parameter validator that approves everything, installed in the benchmark's sandbox in
 * place of the default one so that the server's own cost can be seen. Linked statically. */
int main(void) {
    return 0;
}
