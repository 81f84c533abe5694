// Program entry of the conference service.
int main(int argc, char** argv) {
  return 0;
}
