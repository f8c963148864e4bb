// A heap of about 1.5 million objects for the loader's benchmark (bench/hprof_load.cpp):
// linked records with strings and small arrays, and a hash map. Prints "ready" when built.
// With an argument N > 1, N times as many records with larger int arrays (the benchmark's large
// dump: N = 12, about 1.8 GB of dump with some 18 million objects).
package hw;

import java.util.HashMap;
import java.util.Map;

public class BigHeap {
  static class Item {
    Item next;
    String name;
    int[] counts;
    long stamp;
    double weight;
  }

  static Item head;
  static Map<Integer, Item> index = new HashMap<>();
  static Object[] slots = new Object[100_000];

  public static void main(String[] args) throws Exception {
    final int times = args.length > 0 ? Integer.parseInt(args[0]) : 1;
    for (int i = 0; i < 300_000 * times; ++i) {
      Item item = new Item();
      item.next = head;
      item.name = "item-" + i;
      item.counts = new int[i % 8 + (times > 1 ? 80 : 0)];
      item.stamp = i * 31L;
      item.weight = i / 7.0;
      head = item;
      if (i % 3 == 0) index.put(i, item);
      if (i % 3 == 1) slots[i % slots.length] = new Object[] {item, item.name};
    }
    System.out.println("ready");
    System.out.flush();
    Thread.sleep(300_000);  // the benchmark kills the process long before
  }
}
